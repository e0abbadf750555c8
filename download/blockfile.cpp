#include "download/blockfile.h"

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
