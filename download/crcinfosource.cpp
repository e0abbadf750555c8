#include "download/crcinfosource.h"

#include <windows.h>

#include <cwctype>
#include <set>

#include "base/error.h"
#include "base/httpstatus.h"
#include "base/stringutils.h"
#include "download/reportedlocalname.h"

namespace {

const char kModule[] = "downloadmanager";

}  // namespace

CrcInfoSource::Result CrcInfoSource::Fetch(const FetchCopy& fetch, ReleaseManifest& records) {
  records.clear();
  dropped = 0;
  const std::wstring& name = layout.CrcInfoName();
  for (int pair = 0; pair < kMaxPairs; ++pair) {
    std::string first;
    uint32_t status = 0;
    if (!fetch(first, status)) return Result::kStopped;
    if (status == kHttpNotFound) return Result::kGone;
    std::string second;
    if (!fetch(second, status)) return Result::kStopped;
    if (first == second) {
      dropped = ReportPiecesWithoutRecord(first);
      records = ParseCrcInfo(first.data(), first.size());
      dropped += DropUnsafeRecords(records);
      return Result::kFetched;
    }
    // A host or proxy that changes what it serves: support must see it,
    // even when a later pair agrees.
    Error::RecordError(L"DownloadManager::FetchCrcInfo the two copies of " + name +
                           L" differ; fetching both again",
                       static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
  }
  // The host never answered the same twice: count it as a failed fetch, so
  // that the attempt fails and the attempts stay bounded.
  Error::RecordError(L"DownloadManager::FetchCrcInfo the copies of " + name + L" never agreed",
                     static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
  return Result::kFetched;
}

size_t CrcInfoSource::ReportPiecesWithoutRecord(const std::string& text) const {
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

size_t CrcInfoSource::DropUnsafeRecords(ReleaseManifest& records) const {
  // A file listed twice would be fetched and checked once per listing, each
  // time against other values; a host that lists it hundreds of times would
  // hold the run for hours before the give-up. Windows compares file names
  // without regard to case, and so do we.
  std::set<std::wstring> seen;
  ReleaseManifest kept;
  for (ManifestFile& record : records) {
    std::wstring local;
    if (!ReportedLocalName(layout, record, local)) continue;
    // Part lines that do not cut the file as its size says can never all be
    // fetched; each extra line would cost its retries in every attempt. A
    // record without part lines is never fetched at all.
    const size_t parts = record.part_crcs.size();
    if (parts != 0 && parts != PartCount(record.size, layout.PartSize())) {
      Error::RecordError(L"DownloadManager: file " + record.host_name + L" lists " +
                             std::to_wstring(parts) + L" parts for " +
                             std::to_wstring(record.size) + L" bytes",
                         static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
      continue;
    }
    std::wstring folded = local;
    for (wchar_t& c : folded) c = static_cast<wchar_t>(std::towupper(c));
    if (!seen.insert(folded).second) {
      Error::RecordError(L"DownloadManager: file listed more than once: " + record.host_name,
                         static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
      continue;
    }
    record.local_name = std::move(local);
    kept.push_back(std::move(record));
  }
  const size_t count = records.size() - kept.size();
  records = std::move(kept);
  return count;
}
