#include "net/bodysink.h"

#include <cstring>
#include <utility>

#include "base/blockfile.h"
#include "base/error.h"

namespace {

constexpr char kModule[] = "filedownload";

}  // namespace

bool MemorySink::Begin() {
  Discard();
  return true;
}

bool MemorySink::Write(const uint8_t* bytes, size_t count) {
  ScopedLock guard(lock_);
  bytes_.Append(bytes, count);
  return true;
}

void MemorySink::Discard() {
  ScopedLock guard(lock_);
  bytes_.Reset();
}

PartFileSink::PartFileSink(std::wstring path, std::wstring temporary_path)
    : path_(std::move(path)), temporary_path_(std::move(temporary_path)) {}

PartFileSink::~PartFileSink() { CloseAndDelete(); }

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
  return true;
}

bool PartFileSink::Write(const uint8_t* bytes, size_t count) {
  ScopedLock guard(lock_);
  // Discarded meanwhile (a read abandoned for a stop): nothing more is kept.
  if (!file_) return false;
  DWORD written = 0;
  if (!WriteBlock(file_.Get(), bytes, static_cast<DWORD>(count), written)) {
    const DWORD error = ::GetLastError();
    Error::RecordError(L"Couldn't write part file " + temporary_path_, error, kModule, __LINE__);
    ::SetLastError(error);
    return false;
  }
  return true;
}

bool PartFileSink::Keep() {
  ScopedLock guard(lock_);
  if (!file_) return false;
  file_.Reset();
  if (!::MoveFileExW(temporary_path_.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    Error::RecordError(L"Couldn't rename part file " + temporary_path_ + L" to " + path_,
                       ::GetLastError(), kModule, __LINE__);
    ::DeleteFileW(temporary_path_.c_str());
    return false;
  }
  return true;
}

void PartFileSink::Discard() {
  ScopedLock guard(lock_);
  CloseAndDelete();
}

void PartFileSink::CloseAndDelete() {
  if (!file_) return;
  file_.Reset();
  ::DeleteFileW(temporary_path_.c_str());
}
