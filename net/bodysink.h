#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/bytebuffer.h"
#include "base/criticalsection.h"
#include "base/scopedhandle.h"
#include "base/stoptoken.h"

// Where the body of a download goes as it arrives. The reads write into it
// on the connection's call thread; the worker begins, keeps or discards it
// between attempts. A read abandoned for a stop may still write after the
// worker discarded it, so every operation takes the sink's own lock (held
// by no thread but these two).
class BodySink {
 public:
  virtual ~BodySink() = default;
  // A new attempt: whatever an earlier one left goes. False (logged) when
  // nothing can be taken.
  virtual bool Begin() = 0;
  // The most bytes of one body it takes: one more than anything right, so
  // that a body too long is known as such and the rest is never read.
  virtual uint64_t Capacity() const = 0;
  // The next bytes of the body; false (logged) when they cannot be kept or
  // go beyond the capacity.
  virtual bool Write(const uint8_t* bytes, size_t count) = 0;
  // The body is complete and correct: kept for good. False (logged) when it
  // cannot be. A file held by a scanner is waited for until `stop`.
  virtual bool Keep(const StopToken& stop) = 0;
  // The attempt's bytes are worthless.
  virtual void Discard(const StopToken& stop) = 0;
};

// Keeps the body in memory: the CRC info, read by the owner afterwards. A
// few kilobytes in truth; cut at 16 MB, so that memory never grows with
// what a host sends.
class MemorySink : public BodySink {
 public:
  static constexpr uint64_t kLongestBody = 16 << 20;

  bool Begin() override;
  uint64_t Capacity() const override { return kLongestBody + 1; }
  bool Write(const uint8_t* bytes, size_t count) override;
  bool Keep(const StopToken&) override { return true; }
  void Discard(const StopToken&) override { Clear(); }

  // Only once the worker has ended.
  const ByteBuffer& Bytes() const { return bytes_; }

 private:
  void Clear();

  CriticalSection lock_;
  ByteBuffer bytes_;
};

// Streams a part to a temporary file beside the part file as it arrives and
// renames it to the part's name only once the body is known to be right: a
// wrong or cut-short part never lies under the part's name. A temporary
// file not kept is deleted when the sink goes, or at the next start after a
// kill.
class PartFileSink : public BodySink {
 public:
  // `path` with "/" separators; its folder is created (one level) if
  // missing. A body longer than `part_size` (0: any size) is cut one byte
  // beyond it.
  PartFileSink(std::wstring path, std::wstring temporary_path, uint32_t part_size);
  ~PartFileSink() override;

  bool Begin() override;
  uint64_t Capacity() const override {
    return part_size_ != 0 ? uint64_t{part_size_} + 1 : UINT64_MAX;
  }
  bool Write(const uint8_t* bytes, size_t count) override;
  bool Keep(const StopToken& stop) override;
  void Discard(const StopToken& stop) override;

 private:
  const std::wstring path_;
  const std::wstring temporary_path_;
  const uint32_t part_size_;
  CriticalSection lock_;
  UniqueHandle file_;
  uint64_t written_ = 0;
};
