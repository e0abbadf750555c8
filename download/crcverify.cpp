#include "download/downloadmanager.h"

#include <windows.h>

#include "base/blockfile.h"
#include "base/crc.h"
#include "base/debugoutput.h"
#include "base/error.h"
#include "base/scopedhandle.h"
#include "base/stringutils.h"
#include "download/releaselayout.h"

namespace {

const char kModule[] = "downloadmanager";

UniqueHandle OpenForReading(const std::wstring& path) {
  return UniqueHandle(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

}  // namespace

bool DownloadManager::FetchCrcInfoCopy(const std::wstring& object_path, std::string& copy,
                                       uint32_t& status) {
  copy.clear();
  // A fresh worker for every copy: a status left from an earlier copy must
  // not pass for this one's.
  FileDownload worker(DownloadRequest::InMemory(host_name, object_path, SAS));
  const HANDLE thread = worker.Start();
  // A stop must not wait for a host that stalls.
  const HANDLE waits[] = {thread, stop_event.Get()};
  if (thread && ::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
    worker.Stop(INFINITE);
    return false;
  }
  worker.Wait();
  status = worker.ErrorCode();
  const ByteBuffer& data = worker.Data();
  copy.reserve(data.Size());
  for (size_t i = 0; i < data.Size(); ++i) {
    if (data.Data()[i] != 0) copy += static_cast<char>(data.Data()[i]);
  }
  return IsRunning();
}

bool DownloadManager::FetchCrcInfo(CrcInfo& records) {
  records.clear();
  dropped_records = 0;
  // Once only: a second swap would undo the first.
  if (!old_layout_applied) {
    old_layout_applied = ApplyOldLayout(crc_info_name, path_prefix, download_subdir);
  }
  download_subdir = RequestedFolder(download_subdir);
  const std::wstring object_path = CrcInfoObjectPath(download_subdir, crc_info_name);
  DebugOutput::Write(object_path);

  for (int pair = 0; pair < kMaxCrcInfoPairs; ++pair) {
    std::string first;
    uint32_t status = 0;
    if (!FetchCrcInfoCopy(object_path, first, status)) return true;
    if (status == 404) {
      const std::string text =
          "This version of Veltra can no longer be downloaded.\r\nPlease download the latest "
          "version you received in an e-mail message";
      Error::RecordError(text, 0, "", 0);
      if (listener) {
        listener->ShowError(StringUtils::ToWide(text));
        listener->DownloadFailed(this);
        listener->DownloadFinished(this);
      }
      return false;
    }
    std::string second;
    if (!FetchCrcInfoCopy(object_path, second, status)) return true;
    if (first == second) {
      dropped_records = ReportPiecesWithoutRecord(first);
      records = ParseCrcInfo(first.data(), first.size());
      dropped_records += DropUnsafeRecords(records);
      return true;
    }
    // A host or proxy that changes what it serves: support must see it,
    // even when a later pair agrees.
    Error::RecordError(L"DownloadManager::FetchCrcInfo the two copies of " + crc_info_name +
                           L" differ; fetching both again",
                       static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
  }
  // The host never answered the same twice: count it as a failed fetch, so
  // that the attempt fails and the attempts stay bounded.
  Error::RecordError(
      L"DownloadManager::FetchCrcInfo the copies of " + crc_info_name + L" never agreed",
      static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
  return true;
}

size_t DownloadManager::ReportPiecesWithoutRecord(const std::string& text) const {
  size_t reported = 0;
  size_t start = text.find(';');
  while (start != std::string::npos) {
    const size_t end = text.find(';', start + 1);
    const std::string piece =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    // A piece of nothing but line breaks (a final ";") is no attempt at a
    // record; anything else that gives none is reported.
    const bool blank = piece.find_first_not_of(";\r\n") == std::string::npos;
    if (!blank && ParseCrcInfo(piece.data(), piece.size()).empty()) {
      Error::RecordError(L"DownloadManager::FetchCrcInfo skipped an entry without name and size: " +
                             StringUtils::ToWide(piece.substr(1)),
                         static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
      reported++;
    }
    start = end;
  }
  return reported;
}

bool DownloadManager::CRCCheckFile(const std::wstring& path, int32_t expected) {
  UniqueHandle file = OpenForReading(path);
  if (!file) {
    Error::RecordError(L"DownloadManager::CRCCheckFile unable to open file " + path,
                       ::GetLastError(), kModule, __LINE__);
    return false;
  }
  const DWORD size = ::GetFileSize(file.Get(), nullptr);
  DWORD read = 0;
  if (size == INVALID_FILE_SIZE || !ReadBlock(file.Get(), block_buffer.Reserve(size), size, read)) {
    Error::RecordError(L"DownloadManager::CRCCheckFile unable read file " + path, ::GetLastError(),
                       kModule, __LINE__);
    return false;
  }
  return static_cast<int32_t>(CRC().Compute(block_buffer.Data(), read)) == expected;
}

bool DownloadManager::CheckFileFromCRCInfo(const FileRecord& record) {
  std::wstring local;
  if (!LocalName(record, local)) return false;
  current_file = local;
  const std::wstring path = FinalPath(local);
  if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return false;

  UniqueHandle file = OpenForReading(path);
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
    SubtractDone(RecordFileSize(record));
    return false;
  };
  // A file whose parts all match may still be longer than its record: only
  // the size tells. A record without parts is never fetched, so its file is
  // only required to exist.
  LARGE_INTEGER size;
  if (RecordPartCount(record) > 0 && ::GetFileSizeEx(file.Get(), &size) &&
      static_cast<uint64_t>(size.QuadPart) != RecordFileSize(record)) {
    Error::RecordError(L"CheckFileFromCRCInfo size is not correct: " + path + L": " +
                           std::to_wstring(size.QuadPart) + L" bytes, " +
                           std::to_wstring(RecordFileSize(record)) + L" expected",
                       static_cast<uint32_t>(-3), kModule, __LINE__);
    return discard(L"Couldn't delete corrupt file ");
  }
  const CRC crc;
  uint8_t* block = block_buffer.Reserve(part_size);
  for (size_t part = 0; part < RecordPartCount(record); ++part) {
    if (StopRequested()) return false;
    DWORD read = 0;
    if (!ReadBlock(file.Get(), block, part_size, read)) {
      Error::RecordError(L"CheckFileFromCRCInfo Error reading file: " + path, ::GetLastError(),
                         kModule, __LINE__);
      return discard(L"CheckFileFromCRCInfo Couldn't delete corrupt file ");
    }
    if (static_cast<int32_t>(crc.Compute(block, read)) != RecordPartCrc(record, part)) {
      Error::RecordError(L"CheckFileFromCRCInfo CRC is not correct: " + path,
                         static_cast<uint32_t>(-3), kModule, __LINE__);
      return discard(L"Couldn't delete corrupt file ");
    }
    bytes_verified.fetch_add(read, std::memory_order_relaxed);
  }
  return true;
}

DownloadManager::VerifyResult DownloadManager::VerifyAll() {
  bytes_verified.store(0, std::memory_order_relaxed);
  verifying.store(true, std::memory_order_relaxed);
  VerifyResult result = VerifyResult::kPassed;
  CrcInfo records;
  if (!FetchCrcInfo(records)) {
    result = VerifyResult::kReleaseGone;
  } else if (dropped_records > 0) {
    result = VerifyResult::kIncomplete;
  } else if (records.empty()) {
    result = IsRunning() ? VerifyResult::kFailed : VerifyResult::kStopped;
  } else {
    // Counted afresh from what is on disk: the parts of this attempt are in
    // bytes_done already and would be counted twice.
    bytes_done.store(0, std::memory_order_relaxed);
    ComputeTotals(records);
    bytes_reused.store(0, std::memory_order_relaxed);
    for (const FileRecord& record : records) {
      if (!IsRunning()) {
        result = VerifyResult::kStopped;
        break;
      }
      if (!CheckFileFromCRCInfo(record)) {
        result = StopRequested() ? VerifyResult::kStopped : VerifyResult::kFailed;
        break;
      }
    }
  }
  verifying.store(false, std::memory_order_relaxed);
  return result;
}
