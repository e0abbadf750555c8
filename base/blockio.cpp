#include "base/blockio.h"

#include <algorithm>

namespace {

constexpr DWORD kWriteSlice = 1 << 20;

}  // namespace

bool ReadBlock(HANDLE file, uint8_t* buffer, DWORD size, DWORD& read) {
  read = 0;
  while (read < size) {
    DWORD got = 0;
    if (!::ReadFile(file, buffer + read, size - read, &got, nullptr)) return false;
    if (got == 0) break;
    read += got;
  }
  return true;
}

bool WriteBlock(HANDLE file, const uint8_t* buffer, DWORD size, DWORD& written) {
  written = 0;
  while (written < size) {
    const DWORD slice = std::min(size - written, kWriteSlice);
    DWORD done = 0;
    if (!::WriteFile(file, buffer + written, slice, &done, nullptr)) return false;
    // Wine reports success with fewer bytes on a full disk; the next call
    // for the rest fails with the system's reason. One that writes nothing
    // at all would never end.
    if (done == 0) {
      ::SetLastError(ERROR_DISK_FULL);
      return false;
    }
    written += done;
  }
  return true;
}
