#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

// A block of bytes that grows to the largest size asked for and is kept,
// left uninitialised (every read overwrites what it uses).
class BlockBuffer {
 public:
  uint8_t* Reserve(size_t size) {
    if (size > capacity_) {
      bytes_.reset(new uint8_t[size]);
      capacity_ = size;
    }
    return bytes_.get();
  }
  uint8_t* Data() const { return bytes_.get(); }

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  size_t capacity_ = 0;
};

// Reads up to `size` bytes at the file's current position, calling
// ReadFile in slices until the block is full or the file ends, so that
// callers never see a short read in the middle of a file. Returns false
// when a call fails; `read` then holds what arrived before.
bool ReadBlock(HANDLE file, uint8_t* buffer, DWORD size, DWORD& read);

// Writes `size` bytes at the file's current position in slices of 1 MiB:
// under Wine one 10 MB WriteFile runs at a quarter of the speed of the same
// bytes in 1 MiB calls. True only when every byte was written; otherwise
// false with the system's error as the last error (ERROR_DISK_FULL when a
// call wrote nothing), and `written` holds what was written before. A short
// slice is followed by a call for the rest, which says why it was short.
bool WriteBlock(HANDLE file, const uint8_t* buffer, DWORD size, DWORD& written);
