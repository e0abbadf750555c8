#pragma once

#include <cstdint>
#include <string>

#include "base/bytebuffer.h"

struct gzFile_s;

namespace zlib {

enum ZipMode : int32_t {
  ZIP_MODE_NONE = 0,
  ZIP_MODE_WRITE = 1,
  ZIP_MODE_READ = 2,
};

// The mode and compression parameters shared by the compressed-file writers.
class CZipper {
 public:
  CZipper() = default;
  virtual ~CZipper() = default;
  CZipper(const CZipper&) = delete;
  CZipper& operator=(const CZipper&) = delete;

  virtual bool SetMode(int32_t value) {
    mode = value;
    return true;
  }
  virtual bool Close() = 0;
  virtual bool IsOpen() const = 0;
  virtual bool WriteBuffer(const void* bytes, uint32_t count) = 0;
  virtual bool WriteString(const std::wstring& text) = 0;
  virtual int32_t ReadBuffer(void* buffer, uint32_t size) = 0;
  virtual bool ReadAll(ByteBuffer& result) = 0;
  virtual int32_t ApplyParams() = 0;

  int32_t mode = ZIP_MODE_NONE;
  int32_t level = -1;    // zlib's default level; 1 to 9 explicit
  int32_t strategy = 0;  // zlib's default strategy
};

// A gzip file written from bytes or wide text, or read back. Failures show
// only in the results; nothing is logged.
class CGZip : public CZipper {
 public:
  CGZip() = default;
  ~CGZip() override;

  // Mode 1 creates or replaces the file for writing with the level and
  // strategy set beforehand; mode 2 opens an existing file for reading.
  // False if a file is already open or the file cannot be opened.
  bool Open(const std::wstring& path, int32_t open_mode);

  bool Close() override;
  bool IsOpen() const override { return file != nullptr; }
  bool WriteBuffer(const void* bytes, uint32_t count) override;
  // The text's UTF-16 code units as bytes, without terminator or byte-order
  // mark.
  bool WriteString(const std::wstring& text) override;
  // Bytes read, 0 at the end, -1 on error.
  int32_t ReadBuffer(void* buffer, uint32_t size) override;
  // The whole decompressed content; true if it holds at least one byte.
  bool ReadAll(ByteBuffer& result) override;
  int32_t ApplyParams() override;

 private:
  gzFile_s* file = nullptr;
  int32_t read_chunk = 0;  // the compressed file's length, the chunk size of ReadAll
};

}  // namespace zlib
