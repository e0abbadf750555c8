#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "base/orvthread.h"
#include "base/scopedhandle.h"
#include "download/blockfile.h"

// Reads the blocks of one open file on its own thread, one block ahead of
// the caller, so that reading the next block overlaps the caller's work on
// this one. The two buffers are kept from file to file.
class BlockReader : public Orv_Thread {
 public:
  BlockReader();
  ~BlockReader() override;

  // Starts reading `count` blocks of `size` bytes from the file's current
  // position; the last may be short. The file stays the caller's and must
  // stay open until End.
  void Begin(HANDLE file, DWORD size, size_t count);

  // Waits for the next block. False when its read failed (`error` holds the
  // system code) or the reading was stopped; nothing is read after a
  // failure. The block stays valid until the next call.
  bool Next(const uint8_t*& data, DWORD& read, DWORD& error);

  // Stops the reading, also halfway, and waits for the thread.
  void End();

 protected:
  void Run() override;

 private:
  struct Slot {
    BlockBuffer buffer;
    DWORD read = 0;
    DWORD error = 0;
    bool ok = false;
    // Auto-reset: the reader waits for `free`, the caller for `filled`.
    UniqueHandle free;
    UniqueHandle filled;
  };

  Slot slots_[2];
  HANDLE file_ = nullptr;
  HANDLE thread_ = nullptr;
  DWORD size_ = 0;
  size_t count_ = 0;
  size_t next_ = 0;
};
