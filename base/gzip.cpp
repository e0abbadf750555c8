#include "base/gzip.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <vector>

#include <zlib.h>

namespace zlib {

CGZip::~CGZip() {
  if (file != nullptr) gzclose(file);
}

bool CGZip::Open(const std::wstring& path, int32_t open_mode) {
  if (IsOpen()) return false;
  if (open_mode == ZIP_MODE_WRITE) {
    // The wide form keeps paths that the ANSI code page cannot spell (a user
    // folder named in another script) openable.
    file = gzopen_w(path.c_str(), "wb");
    if (file != nullptr) {
      mode = ZIP_MODE_WRITE;
      ApplyParams();
    }
  } else if (open_mode == ZIP_MODE_READ) {
    // Existence is enough: a read-only file is readable.
    if (::_waccess(path.c_str(), 0) != 0) {
      mode = ZIP_MODE_NONE;
      return false;
    }
    int descriptor = -1;
    if (::_wsopen_s(&descriptor, path.c_str(), _O_RDONLY | _O_BINARY, _SH_DENYNO, _S_IREAD) == 0) {
      read_chunk = static_cast<int32_t>(::_filelength(descriptor));
      ::_close(descriptor);
    }
    file = gzopen_w(path.c_str(), "rb");
  }
  mode = file != nullptr ? open_mode : ZIP_MODE_NONE;
  return IsOpen();
}

bool CGZip::Close() {
  if (!IsOpen()) return false;
  const int status = gzclose(file);
  file = nullptr;
  return status == Z_OK;
}

bool CGZip::WriteBuffer(const void* bytes, uint32_t count) {
  if (!IsOpen() || mode != ZIP_MODE_WRITE) return false;
  if (count == 0) return true;
  return gzwrite(file, bytes, count) == static_cast<int>(count);
}

bool CGZip::WriteString(const std::wstring& text) {
  return WriteBuffer(text.data(), static_cast<uint32_t>(text.size() * sizeof(wchar_t)));
}

int32_t CGZip::ReadBuffer(void* buffer, uint32_t size) {
  if (!IsOpen() || mode != ZIP_MODE_READ) return 0;
  return gzread(file, buffer, size);
}

bool CGZip::ReadAll(ByteBuffer& result) {
  result.Reset();
  if (!IsOpen() || mode != ZIP_MODE_READ || read_chunk <= 0) return false;
  std::vector<std::vector<uint8_t>> chunks;
  size_t total = 0;
  int got = 0;
  for (;;) {
    std::vector<uint8_t> chunk(static_cast<size_t>(read_chunk));
    got = ReadBuffer(chunk.data(), static_cast<uint32_t>(chunk.size()));
    if (got <= 0) break;
    chunk.resize(static_cast<size_t>(got));
    total += chunk.size();
    chunks.push_back(std::move(chunk));
  }
  // zlib reports a file that ends early as a plain end (it may still be
  // being written); a cut-off file is not the content, so it fails too.
  int status = Z_OK;
  gzerror(file, &status);
  if (got < 0 || status == Z_BUF_ERROR) return false;
  result.Reserve(total);
  for (const auto& chunk : chunks) result.Append(chunk.data(), chunk.size());
  return total > 0;
}

int32_t CGZip::ApplyParams() {
  if (IsOpen() && mode == ZIP_MODE_WRITE) return gzsetparams(file, level, strategy);
  return IsOpen() ? 1 : 0;
}

}  // namespace zlib
