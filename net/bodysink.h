#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/bytebuffer.h"
#include "base/criticalsection.h"
#include "base/scopedhandle.h"

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
  // The next bytes of the body; false (logged) when they cannot be kept.
  virtual bool Write(const uint8_t* bytes, size_t count) = 0;
  // The body is complete and correct: kept for good. False (logged) when it
  // cannot be.
  virtual bool Keep() = 0;
  // The attempt's bytes are worthless.
  virtual void Discard() = 0;
};

// Keeps the body in memory: the CRC info, read by the owner afterwards.
class MemorySink : public BodySink {
 public:
  bool Begin() override;
  bool Write(const uint8_t* bytes, size_t count) override;
  bool Keep() override { return true; }
  void Discard() override;

  // Only once the worker has ended.
  const ByteBuffer& Bytes() const { return bytes_; }

 private:
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
  // missing.
  PartFileSink(std::wstring path, std::wstring temporary_path);
  ~PartFileSink() override;

  bool Begin() override;
  bool Write(const uint8_t* bytes, size_t count) override;
  bool Keep() override;
  void Discard() override;

 private:
  void CloseAndDelete();

  const std::wstring path_;
  const std::wstring temporary_path_;
  CriticalSection lock_;
  UniqueHandle file_;
};
