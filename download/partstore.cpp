#include "download/partstore.h"

#include <windows.h>

#include <algorithm>

#include "base/crc.h"
#include "base/error.h"
#include "base/filesystem.h"
#include "base/heldfileretry.h"
#include "base/scopedhandle.h"
#include "base/stringutils.h"
#include "base/tempname.h"

namespace {

const char kModule[] = "downloadmanager";
// Files not in the system's cache are read at the speed the size of each
// read allows, one request at a time: verifying them ran at 0.9 GB/s in
// reads of 2 MiB, 0.7 in reads of 1 MiB, 1.7 in reads of a whole part (a
// thread reading ahead, or the system's prefetch of a mapped file, cost
// more on files in the cache than they won). The writes of a merge still go
// out in base/blockio's 1 MiB.
constexpr DWORD kSlice = 2 << 20;

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

PartStore::PartStore(const ReleaseLayout& layout, FileSystemWatcher& watcher,
                     ProgressCounters& progress, StopToken stop)
    : layout(layout), watcher(watcher), progress(progress), stop(stop) {}

PartStore::SliceResult PartStore::ReadSlices(HANDLE file, uint64_t limit, uint32_t& crc,
                                             uint64_t& read, const SliceSink& sink) {
  const CRC checker;
  uint8_t* slice = block_buffer.Reserve(kSlice);
  read = 0;
  while (read < limit) {
    if (stop.StopRequested()) return SliceResult::kStopped;
    DWORD got = 0;
    if (!ReadBlock(file, slice, static_cast<DWORD>(std::min<uint64_t>(limit - read, kSlice)),
                   got)) {
      return SliceResult::kReadFailed;
    }
    if (got == 0) break;
    crc = checker.Continue(crc, slice, got);
    read += got;
    if (sink && !sink(slice, got)) return SliceResult::kSinkFailed;
  }
  return SliceResult::kRead;
}

void PartStore::RemoveTemporaryFiles() {
  const std::wstring folder = layout.DownloadFolder();
  if (folder.empty()) return;
  WIN32_FIND_DATAW found;
  UniqueFindHandle search(::FindFirstFileW((folder + L"/*" + kTemporarySuffix).c_str(), &found));
  if (!search) return;
  std::vector<std::wstring> names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsTemporaryName(found.cFileName)) {
      names.push_back(found.cFileName);
    }
  } while (::FindNextFileW(search.Get(), &found));
  for (const std::wstring& name : names) {
    const std::wstring path = folder + L"/" + name;
    // A scanner may still hold what the last run left.
    if (!HeldFileRetry::Retry(L"deleting", path, true, &stop,
                              [&path] { return ::DeleteFileW(path.c_str()) != FALSE; })) {
      Error::RecordError(L"DownloadManager unable to delete the temporary file " + path,
                         ::GetLastError(), kModule, __LINE__);
    }
  }
}

void PartStore::ListFinalFiles() { final_names.List(layout.ProgramFolder()); }

bool PartStore::CRCCheckFile(const std::wstring& path, int32_t expected) {
  UniqueHandle file = OpenOwnFile(path);
  if (!file) {
    Error::RecordError(L"DownloadManager::CRCCheckFile unable to open file " + path,
                       ::GetLastError(), kModule, __LINE__);
    return false;
  }
  return CRCCheckOpenFile(file.Get(), path, expected);
}

bool PartStore::CRCCheckOpenFile(HANDLE file, const std::wstring& path, int32_t expected) {
  uint32_t crc = 0;
  uint64_t read = 0;
  switch (ReadSlices(file, UINT64_MAX, crc, read)) {
    case SliceResult::kRead:
      return static_cast<int32_t>(crc) == expected;
    case SliceResult::kReadFailed:
      Error::RecordError(L"DownloadManager::CRCCheckFile unable read file " + path,
                         ::GetLastError(), kModule, __LINE__);
      return false;
    default:
      return false;
  }
}

bool PartStore::CheckParts(const ManifestFile& record, const std::wstring& local,
                           std::vector<size_t>& missing) {
  missing.clear();
  for (size_t k = 0; k < record.part_crcs.size(); ++k) {
    if (stop.StopRequested()) return false;
    const std::wstring part_path = layout.PartPath(local, k);
    // Opened at once rather than looked up first: one look-up of the name
    // instead of two.
    UniqueHandle file = OpenOwnFile(part_path);
    if (!file) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        // There, but not to be read: as a part that fails its check.
        Error::RecordError(L"DownloadManager::CRCCheckFile unable to open file " + part_path,
                           error, kModule, __LINE__);
        DeleteOwnFile(part_path);
      }
      missing.push_back(k);
      continue;
    }
    if (CRCCheckOpenFile(file.Get(), part_path, record.part_crcs.at(k))) {
      const uint32_t bytes = layout.PartBytes(record, k);
      progress.bytes_done.fetch_add(bytes, std::memory_order_relaxed);
      progress.bytes_reused.fetch_add(bytes, std::memory_order_relaxed);
      continue;
    }
    // A check cut short by the stop says nothing against the part.
    if (stop.StopRequested()) return false;
    file.Reset();
    DeleteOwnFile(part_path);
    missing.push_back(k);
  }
  return true;
}

bool PartStore::FinalFileExists(const ManifestFile& record, const std::wstring& local) {
  const std::wstring final_path = layout.FinalPath(local);
  if (!final_names.MayExist(local) || !Exists(final_path)) return false;
  UniqueHandle file(::CreateFileW(final_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size;
  if (!file || !::GetFileSizeEx(file.Get(), &size)) {
    Error::RecordError(L"DownloadManager::DownloadFileFromCRCInfo unable to read file" + final_path,
                       ::GetLastError(), kModule, __LINE__);
  } else {
    // No more than the record claims, as in bytes_done: the speed meter
    // subtracts one from the other.
    progress.bytes_reused.fetch_add(
        std::min<uint64_t>(static_cast<uint64_t>(size.QuadPart), record.size),
        std::memory_order_relaxed);
  }
  return true;
}

void PartStore::CountFinalFiles(const ReleaseManifest& records) {
  uint64_t total = 0;
  for (const ManifestFile& record : records) {
    const uint32_t size = record.size;
    total += size;
    const std::wstring& local = record.local_name;
    if (local.empty()) continue;
    uint64_t on_disk = 0;
    if (final_names.MayExist(local) && FileSystem::FileSize(layout.FinalPath(local), on_disk)) {
      // Never more than the record claims, so that the read-out cannot pass
      // the total when a final file is longer than it should be.
      progress.bytes_done.fetch_add(std::min<uint64_t>(static_cast<uint32_t>(on_disk), size),
                                    std::memory_order_relaxed);
    }
  }
  progress.total_bytes.store(total, std::memory_order_relaxed);
}

bool PartStore::PartsComplete(const ManifestFile& record, const std::wstring& local) const {
  for (size_t k = 0; k < record.part_crcs.size(); ++k) {
    const std::wstring path = layout.PartPath(local, k);
    uint64_t size = 0;
    if (!FileSystem::FileSize(path, size)) {
      Error::RecordError(L"Merging part files failed. Unable to open: " + path, ::GetLastError(),
                         "", 0);
      return false;
    }
    if (size != layout.PartBytes(record, k)) {
      Error::RecordError(L"Merging part files failed. Wrong size of: " + path + L": " +
                             std::to_wstring(size) + L" bytes, " +
                             std::to_wstring(layout.PartBytes(record, k)) + L" expected",
                         static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
      return false;
    }
  }
  return true;
}

bool PartStore::CheckFinalFile(const ManifestFile& record, const std::wstring& local) {
  const std::wstring path = layout.FinalPath(local);
  if (!Exists(path)) return false;

  UniqueHandle file = OpenOwnFile(path);
  if (!file) {
    Error::RecordError(L"CheckFileFromCRCInfo: Error opening file: " + path, ::GetLastError(),
                       kModule, __LINE__);
    return false;
  }
  const auto discard = [&](const std::wstring& delete_failure) {
    file.Reset();
    if (!DeleteOwnFile(path)) {
      Error::RecordError(delete_failure + path, ::GetLastError(), kModule, __LINE__);
    }
    progress.SubtractDone(record.size);
    return false;
  };
  // A file whose parts all match may still be longer than its record: only
  // the size tells. A record without parts is never fetched, so its file is
  // only required to exist.
  LARGE_INTEGER size;
  if (!record.part_crcs.empty() && ::GetFileSizeEx(file.Get(), &size) &&
      static_cast<uint64_t>(size.QuadPart) != record.size) {
    Error::RecordError(L"CheckFileFromCRCInfo size is not correct: " + path + L": " +
                           std::to_wstring(size.QuadPart) + L" bytes, " +
                           std::to_wstring(record.size) + L" expected",
                       static_cast<uint32_t>(-3), kModule, __LINE__);
    return discard(L"Couldn't delete corrupt file ");
  }
  for (size_t part = 0; part < record.part_crcs.size(); ++part) {
    uint32_t crc = 0;
    uint64_t read = 0;
    const SliceResult result = ReadSlices(file.Get(), layout.PartSize(), crc, read);
    if (result == SliceResult::kStopped) return false;
    if (result != SliceResult::kRead) {
      Error::RecordError(L"CheckFileFromCRCInfo Error reading file: " + path, ::GetLastError(),
                         kModule, __LINE__);
      return discard(L"CheckFileFromCRCInfo Couldn't delete corrupt file ");
    }
    if (static_cast<int32_t>(crc) != record.part_crcs.at(part)) {
      Error::RecordError(L"CheckFileFromCRCInfo CRC is not correct: " + path,
                         static_cast<uint32_t>(-3), kModule, __LINE__);
      return discard(L"Couldn't delete corrupt file ");
    }
    progress.bytes_verified.fetch_add(read, std::memory_order_relaxed);
  }
  return true;
}

UniqueHandle PartStore::OpenOwnFile(const std::wstring& path) {
  UniqueHandle file;
  HeldFileRetry::Retry(L"opening", path, true, &stop, [&file, &path] {
    file.Reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    return static_cast<bool>(file);
  });
  return file;
}

bool PartStore::DeleteOwnFile(const std::wstring& path) {
  watcher.ExpectChange(path);
  if (HeldFileRetry::Retry(L"deleting", path, true, &stop,
                           [&path] { return ::DeleteFileW(path.c_str()) != FALSE; })) {
    return true;
  }
  // No deletion will arrive for this name; an announcement left behind would
  // hide a later deletion by someone else.
  const DWORD error = ::GetLastError();
  watcher.TakeExpected(StringUtils::GetFileName(path));
  ::SetLastError(error);
  return false;
}
