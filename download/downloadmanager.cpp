#include "download/downloadmanager.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <set>

#include "base/error.h"
#include "base/stringutils.h"
#include "download/localnames.h"
#include "download/releaselayout.h"

namespace {

const char kModule[] = "downloadmanager";

}  // namespace

DownloadManager::DownloadManager(IDMListener* listener) : listener(listener) {}

void DownloadManager::SetRelease(const ReleaseDescriptor& release) {
  host_name = release.host_name;
  download_subdir = release.download_subdir;
  product_code = release.product_code;
  SAS = release.SAS;
  local_name_suffix = L"_" + product_code;
}

void DownloadManager::StartDownload(const std::wstring& default_host,
                                    const std::wstring& path_prefix,
                                    const std::wstring& crc_info_name,
                                    const std::wstring& download_folder,
                                    const std::wstring& program_folder) {
  Configure(default_host, path_prefix, crc_info_name, download_folder, program_folder);
  // A new run watches anew; a run still going keeps its watcher.
  if (!IsRunning()) watch_started = false;
  ::ResetEvent(stop_event.Get());
  Start();
}

void DownloadManager::Configure(const std::wstring& default_host, const std::wstring& path_prefix,
                                const std::wstring& crc_info_name,
                                const std::wstring& download_folder,
                                const std::wstring& program_folder) {
  this->default_host = default_host;
  this->path_prefix = path_prefix;
  this->crc_info_name = crc_info_name;
  this->download_folder = download_folder;
  this->program_folder = program_folder;
}

bool DownloadManager::LocalName(const FileRecord& record, std::wstring& local) const {
  if (MakeLocalName(RecordFileName(record), local_name_suffix, local)) return true;
  Error::RecordError(L"DownloadManager: no usable local name for file " + RecordFileName(record),
                     static_cast<uint32_t>(ERROR_INVALID_NAME), kModule, __LINE__);
  return false;
}

std::wstring DownloadManager::PartPath(const std::wstring& local_name, size_t part) const {
  return download_folder + L"/" + PartFileName(local_name, part);
}

std::wstring DownloadManager::FinalPath(const std::wstring& local_name) const {
  return program_folder + L"/" + local_name;
}

std::wstring DownloadManager::PartObjectPath(const FileRecord& record, size_t part) const {
  return ::PartObjectPath(path_prefix, download_subdir, part, RecordFileName(record));
}

uint32_t DownloadManager::PartBytes(const FileRecord& record, size_t part) const {
  return ::PartBytes(RecordFileSize(record), part_size, part);
}

size_t DownloadManager::DropUnsafeRecords(CrcInfo& records) const {
  // A file listed twice would be fetched and checked once per listing, each
  // time against other values; a host that lists it hundreds of times would
  // hold the run for hours before the give-up. Windows compares file names
  // without regard to case, and so do we.
  std::set<std::wstring> seen;
  const auto kept =
      std::remove_if(records.begin(), records.end(), [this, &seen](const FileRecord& record) {
        std::wstring local;
        if (!LocalName(record, local)) return true;
        // Part lines that do not cut the file as its size says can never all
        // be fetched; each extra line would cost its retries in every
        // attempt. A record without part lines is never fetched at all.
        const size_t parts = RecordPartCount(record);
        if (parts != 0 && parts != PartCount(RecordFileSize(record), part_size)) {
          Error::RecordError(L"DownloadManager: file " + RecordFileName(record) + L" lists " +
                                 std::to_wstring(parts) + L" parts for " +
                                 std::to_wstring(RecordFileSize(record)) + L" bytes",
                             static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
          return true;
        }
        for (wchar_t& c : local) c = static_cast<wchar_t>(std::towupper(c));
        if (seen.insert(local).second) return false;
        Error::RecordError(
            L"DownloadManager: file listed more than once: " + RecordFileName(record),
            static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
        return true;
      });
  const size_t dropped = static_cast<size_t>(records.end() - kept);
  records.erase(kept, records.end());
  return dropped;
}

void DownloadManager::ComputeTotals(const CrcInfo& records) {
  uint64_t total = 0;
  for (const FileRecord& record : records) {
    const uint32_t size = RecordFileSize(record);
    total += size;
    std::wstring local;
    if (!LocalName(record, local)) continue;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (::GetFileAttributesExW(FinalPath(local).c_str(), GetFileExInfoStandard, &data)) {
      // Never more than the record claims, so that the read-out cannot pass
      // the total when a final file is longer than it should be.
      bytes_done.fetch_add(std::min<uint64_t>(data.nFileSizeLow, size), std::memory_order_relaxed);
    }
  }
  total_bytes.store(total, std::memory_order_relaxed);
}

bool DownloadManager::DeleteOwnFile(const std::wstring& path) {
  watcher.ExpectChange(path);
  if (::DeleteFileW(path.c_str())) return true;
  // No deletion will arrive for this name; an announcement left behind would
  // hide a later deletion by someone else.
  const DWORD error = ::GetLastError();
  watcher.TakeExpected(StringUtils::GetFileName(path));
  ::SetLastError(error);
  return false;
}

void DownloadManager::SubtractDone(uint64_t bytes) {
  uint64_t done = bytes_done.load(std::memory_order_relaxed);
  while (!bytes_done.compare_exchange_weak(done, done > bytes ? done - bytes : 0,
                                           std::memory_order_relaxed)) {
  }
}

void DownloadManager::WatchDownloadFolder() {
  if (watch_started) return;
  // The folder appears with the first part file written; until then there
  // is nothing to watch.
  const DWORD attributes = ::GetFileAttributesW(download_folder.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    watch_started = true;
    watcher.Watch(download_folder);
  }
}
