#include "net/bodysink.h"

#include <cstring>
#include <utility>

#include "base/blockio.h"
#include "base/error.h"
#include "base/heldfileretry.h"

namespace {

constexpr char kModule[] = "filedownload";

}  // namespace

bool MemorySink::Begin() {
  Clear();
  return true;
}

bool MemorySink::Write(const uint8_t* bytes, size_t count) {
  ScopedLock guard(lock_);
  if (bytes_.Size() + count > Capacity()) return false;
  bytes_.Append(bytes, count);
  return true;
}

void MemorySink::Clear() {
  ScopedLock guard(lock_);
  bytes_.Reset();
}

PartFileSink::PartFileSink(std::wstring path, std::wstring temporary_path, uint32_t part_size)
    : path_(std::move(path)), temporary_path_(std::move(temporary_path)), part_size_(part_size) {}

PartFileSink::~PartFileSink() {
  // Never kept nor discarded (a worker that ended by an exception): one try,
  // and the next start removes what is still held.
  if (!file_) return;
  file_.Reset();
  ::DeleteFileW(temporary_path_.c_str());
}

bool PartFileSink::Begin() {
  ScopedLock guard(lock_);
  const size_t slash = path_.rfind(L'/');
  if (slash != std::wstring::npos) {
    const std::wstring directory = path_.substr(0, slash);
    // Parts in flight together may all find it missing: one creates it.
    if (::GetFileAttributesW(directory.c_str()) == INVALID_FILE_ATTRIBUTES &&
        !::CreateDirectoryW(directory.c_str(), nullptr) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS) {
      Error::RecordError(L"Unable to create directory: " + directory, ::GetLastError(), kModule,
                         __LINE__);
      return false;
    }
  }
  // Shared for deletion: a stop may discard the file while an abandoned read
  // still holds it.
  file_.Reset(::CreateFileW(temporary_path_.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) {
    Error::RecordError(L"Couldn't create part file: " + temporary_path_, ::GetLastError(), kModule,
                       __LINE__);
    return false;
  }
  written_ = 0;
  return true;
}

bool PartFileSink::Write(const uint8_t* bytes, size_t count) {
  ScopedLock guard(lock_);
  // Discarded meanwhile (a read abandoned for a stop): nothing more is kept.
  if (!file_) return false;
  if (written_ + count > Capacity()) {
    Error::RecordError(L"A body longer than the part refused for " + temporary_path_,
                       ERROR_INVALID_DATA, kModule, __LINE__);
    ::SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  written_ += count;
  DWORD written = 0;
  if (!WriteBlock(file_.Get(), bytes, static_cast<DWORD>(count), written)) {
    const DWORD error = ::GetLastError();
    Error::RecordError(L"Couldn't write part file " + temporary_path_, error, kModule, __LINE__);
    ::SetLastError(error);
    return false;
  }
  return true;
}

bool PartFileSink::Keep(const StopToken& stop) {
  ScopedLock guard(lock_);
  if (!file_) return false;
  file_.Reset();
  // A scanner opens each new file for a moment, the temporary one or an
  // older part under the name it gets.
  if (!HeldFileRetry::Retry(L"renaming", temporary_path_, true, &stop, [this] {
        return ::MoveFileExW(temporary_path_.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING) !=
               FALSE;
      })) {
    Error::RecordError(L"Couldn't rename part file " + temporary_path_ + L" to " + path_,
                       ::GetLastError(), kModule, __LINE__);
    ::DeleteFileW(temporary_path_.c_str());
    return false;
  }
  return true;
}

void PartFileSink::Discard(const StopToken& stop) {
  ScopedLock guard(lock_);
  if (!file_) return;
  file_.Reset();
  // What is still held after a stop is removed at the next start.
  HeldFileRetry::Retry(L"deleting", temporary_path_, true, &stop,
                       [this] { return ::DeleteFileW(temporary_path_.c_str()) != FALSE; });
}
