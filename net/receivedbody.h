#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "base/bytebuffer.h"
#include "base/crc.h"
#include "base/criticalsection.h"
#include "base/scopedhandle.h"
#include "net/bodysink.h"

// The body of a download answer as it arrives: each read lands in a read
// buffer, goes on to the sink and is counted, with the CRC-32 kept going.
// The call thread that reads the body writes into it; the worker reads the
// count and CRC at any time. Shared by both, so that a read abandoned for a
// stop still has somewhere to write. Nothing of the body is held here
// beyond one read and its first few kilobytes.
class ReceivedBody {
 public:
  struct Progress {
    uint64_t size = 0;
    uint32_t crc = 0;
  };
  // What is kept of the body's beginning: enough to tell a web page and
  // find its title.
  static constexpr size_t kHeadSize = 0x10000;

  explicit ReceivedBody(std::shared_ptr<BodySink> sink);
  ReceivedBody(const ReceivedBody&) = delete;
  ReceivedBody& operator=(const ReceivedBody&) = delete;

  // For the call thread: room for the next read of up to `wanted` bytes
  // (none once the sink is full: the body is cut there), then what it
  // filled (0 after a read that failed or found the end). False when the
  // sink could not take the bytes.
  uint8_t* Space(size_t wanted, size_t& count);
  bool Commit(size_t count);

  // Signalled (auto-reset) after every Commit.
  HANDLE ProgressEvent() const { return progress_event_.Get(); }
  Progress Snapshot() const;
  // The body's first bytes, up to kHeadSize.
  ByteBuffer Head() const;

 private:
  std::shared_ptr<BodySink> sink_;
  ByteBuffer buffer_;
  CRC crc_table_;
  mutable CriticalSection lock_;
  Progress progress_;
  ByteBuffer head_;
  UniqueHandle progress_event_{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};
