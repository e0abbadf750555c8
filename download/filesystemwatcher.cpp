#include "download/filesystemwatcher.h"

#include <windows.h>

#include <cstddef>
#include <cstring>

#include "base/error.h"
#include "base/errorcodes.h"
#include "base/scopedhandle.h"
#include "base/stringutils.h"
#include "base/tempname.h"

namespace {

const char kModule[] = "filesystemwatcher";
constexpr DWORD kBufferSize = 16384;
// How long Watch waits for the thread to start reading changes.
constexpr DWORD kArmTimeoutMs = 2000;
constexpr DWORD kFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                          FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;

}  // namespace

FileSystemWatcher::~FileSystemWatcher() { Stop(kStopWaitMs); }

void FileSystemWatcher::Watch(const std::wstring& folder) {
  // The folder is read by the thread; never change it under a running one.
  if (IsRunning()) return;
  watched_folder = folder;
  ::ResetEvent(watching.Get());
  if (Start()) ::WaitForSingleObject(watching.Get(), kArmTimeoutMs);
}

void FileSystemWatcher::ExpectChange(const std::wstring& path) {
  ScopedLock lock(expected_lock);
  expected_names.push_back(StringUtils::GetFileName(path));
}

bool FileSystemWatcher::TakeExpected(const std::wstring& name) {
  ScopedLock lock(expected_lock);
  for (auto it = expected_names.begin(); it != expected_names.end(); ++it) {
    if (*it == name) {
      expected_names.erase(it);
      return true;
    }
  }
  return false;
}

void FileSystemWatcher::ReportChanges(const void* records, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(records);
  size_t offset = 0;
  // Each record is read through a copy of its header, so that a short or
  // malformed buffer can never make us read past its end.
  while (offset + offsetof(FILE_NOTIFY_INFORMATION, FileName) <= size) {
    FILE_NOTIFY_INFORMATION header;
    std::memcpy(&header, bytes + offset, offsetof(FILE_NOTIFY_INFORMATION, FileName));
    const size_t name_offset = offset + offsetof(FILE_NOTIFY_INFORMATION, FileName);
    if (header.FileNameLength > size - name_offset) break;
    std::wstring name(header.FileNameLength / sizeof(wchar_t), L'\0');
    std::memcpy(&name[0], bytes + name_offset, name.size() * sizeof(wchar_t));

    // A part being received is renamed to its own name or deleted by its
    // worker: nobody else's business.
    if (!IsTemporaryName(name)) {
      if (header.Action == FILE_ACTION_REMOVED && !TakeExpected(name)) {
        Error::LogError(L"File: " + name + L" was deleted but it was not by the download manager!",
                        static_cast<uint32_t>(DL_MANAGER_DELETED_OUTSIDE), kModule, __LINE__);
      } else if (header.Action == FILE_ACTION_RENAMED_OLD_NAME && !TakeExpected(name)) {
        Error::LogError(L"File: " + name + L" was renamed but it was not by the download manager!",
                        static_cast<uint32_t>(DL_MANAGER_RENAMED_OUTSIDE), kModule, __LINE__);
      }
    }
    if (header.NextEntryOffset == 0) break;
    offset += header.NextEntryOffset;
  }
}

void FileSystemWatcher::Run() {
  Error::LogMessage(L"FileSystemWatcher started", kModule, __LINE__);
  // Opened for overlapped reads, so that the thread waits on the read's
  // event together with its stop event; a synchronous handle would block in
  // ReadDirectoryChangesW until the next change.
  UniqueHandle folder(::CreateFileW(watched_folder.c_str(), GENERIC_READ | FILE_LIST_DIRECTORY,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
  UniqueHandle event(folder ? ::CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr);
  if (!event) {
    ::SetEvent(watching.Get());
    return;
  }

  // DWORD elements keep the records 4-byte aligned.
  std::vector<DWORD> buffer(kBufferSize / sizeof(DWORD));
  bool stopped = false;
  bool armed = false;
  while (IsRunning()) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.Get();
    // The read resets the event as it starts; each call here is a round trip
    // to the wineserver, and the folder changes several times per part.
    const BOOL reading = ::ReadDirectoryChangesW(folder.Get(), buffer.data(), kBufferSize, TRUE,
                                                 kFilter, nullptr, &overlapped, nullptr);
    if (!armed) {
      armed = true;
      ::SetEvent(watching.Get());
    }
    if (!reading) break;
    if (running.WaitFor(event.Get(), INFINITE) != FlagEvent::Wake::kWork) {
      // The read still uses the buffer and the overlapped block: cancel it
      // and let it complete before both go away.
      DWORD ignored = 0;
      ::CancelIoEx(folder.Get(), &overlapped);
      ::GetOverlappedResult(folder.Get(), &overlapped, &ignored, TRUE);
      stopped = true;
      break;
    }
    DWORD size = 0;
    if (!::GetOverlappedResult(folder.Get(), &overlapped, &size, FALSE)) break;
    // A completion of 0 bytes means the system's buffer overflowed: the
    // changes are lost and there is nothing to walk.
    ReportChanges(buffer.data(), size);
  }
  if (!stopped) Error::LogMessage("FileSystemWatcher ended", kModule, __LINE__);
}
