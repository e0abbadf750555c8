#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "base/bytebuffer.h"
#include "base/crc.h"
#include "base/criticalsection.h"
#include "base/scopedhandle.h"

// The body of a download answer as it arrives: its bytes and their CRC-32,
// kept up to date read by read. The call thread that reads the body writes
// into it; the worker reads the count and CRC at any time, and the bytes
// only once the reading has returned. Shared by both, so that a read
// abandoned for a stop still has somewhere to write.
class ReceivedBody {
 public:
  struct Progress {
    uint64_t size = 0;
    uint32_t crc = 0;
  };

  // `expected_size` (0 when unknown) is reserved up front, with room for
  // the read that finds the end, so that the block never moves. A body
  // longer than that is cut one byte after it (one of unknown size at
  // 16 MB): memory never grows with what a host sends.
  explicit ReceivedBody(size_t expected_size);
  // The block goes back for the next body.
  ~ReceivedBody();
  ReceivedBody(const ReceivedBody&) = delete;
  ReceivedBody& operator=(const ReceivedBody&) = delete;

  // For the call thread: room for the next read of up to `wanted` bytes
  // (none once the body is cut), then what it filled (0 after a read that
  // failed or found the end).
  uint8_t* Space(size_t wanted, size_t& count);
  void Commit(size_t count);

  // Signalled (auto-reset) after every Commit.
  HANDLE ProgressEvent() const { return progress_event_.Get(); }
  Progress Snapshot() const;

  // Only once the reading has returned.
  ByteBuffer& Bytes() { return bytes_; }

 private:
  ByteBuffer bytes_;
  size_t committed_ = 0;  // the call thread's own count
  size_t limit_ = 0;      // where the body is cut
  CRC crc_table_;
  mutable CriticalSection lock_;
  Progress progress_;
  UniqueHandle progress_event_{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};
