#include "download/crcinfosource.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <set>

#include "base/error.h"
#include "base/httpstatus.h"
#include "base/stringutils.h"
#include "download/reportedlocalname.h"

namespace {

const char kModule[] = "downloadmanager";

}  // namespace

CrcInfoSource::Result CrcInfoSource::Fetch(const FetchCopy& fetch, ReleaseManifest& records,
                                           HostPool* hosts, const ProbePart& probe) {
  records.clear();
  dropped = 0;
  text.clear();
  if (hosts == nullptr || hosts->Count() < 2) return FetchFromOne(fetch, records);
  return FetchFromMany(fetch, records, *hosts, probe);
}

void CrcInfoSource::Accept(const std::string& agreed, ReleaseManifest& records) {
  text = agreed;
  dropped = ReportPiecesWithoutRecord(agreed);
  records = ParseCrcInfo(agreed.data(), agreed.size());
  dropped += DropUnsafeRecords(records);
}

CrcInfoSource::Result CrcInfoSource::FetchFromOne(const FetchCopy& fetch,
                                                  ReleaseManifest& records) {
  const std::wstring& name = layout.CrcInfoName();
  for (int pair = 0; pair < kMaxPairs; ++pair) {
    Copy first;
    if (!fetch(0, first)) return Result::kStopped;
    if (first.status == kHttpNotFound) return Result::kGone;
    Copy second;
    if (!fetch(0, second)) return Result::kStopped;
    if (first.text == second.text) {
      Accept(first.text, records);
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

CrcInfoSource::Result CrcInfoSource::FetchFromMany(const FetchCopy& fetch,
                                                   ReleaseManifest& records, HostPool& hosts,
                                                   const ProbePart& probe) {
  const std::wstring& name = layout.CrcInfoName();
  const size_t count = hosts.Count();
  for (int round = 0; round < kMaxPairs; ++round) {
    // copies[h]: what host h served in this round, in order.
    std::vector<std::vector<std::string>> copies(count);
    std::vector<bool> gone(count, false);
    const auto ask = [&](size_t host) {
      Copy copy;
      if (!fetch(host, copy)) return false;
      if (copy.received) {
        copies[host].push_back(std::move(copy.text));
      } else if (copy.status == kHttpNotFound) {
        gone[host] = true;
      }
      return true;
    };
    // The hosts asked, in order: those that may take a try now; when all
    // rest, all, so that the attempt still asks them.
    std::vector<size_t> order;
    for (size_t host = 0; host < count; ++host) {
      if (hosts.Usable(host)) order.push_back(host);
    }
    if (order.empty()) {
      for (size_t host = 0; host < count; ++host) {
        if (!hosts.LeftOut(host)) order.push_back(host);
      }
    }
    // Two copies from two hosts; a host that gives none passes its turn on.
    std::vector<size_t> served;
    for (size_t host : order) {
      if (served.size() == 2) break;
      if (!ask(host)) return Result::kStopped;
      if (!copies[host].empty()) served.push_back(host);
    }
    if (served.empty()) {
      bool all_gone = !order.empty();
      for (size_t host : order) all_gone = all_gone && gone[host];
      if (all_gone) return Result::kGone;
      return Result::kFetched;
    }
    // A host that has no CRC info while another has one does not hold the
    // release (yet): its parts are not asked for.
    const auto leave_out_gone = [&] {
      for (size_t host = 0; host < count; ++host) {
        if (gone[host]) hosts.LeaveOut(host, L"it has no " + name + L" (404)");
      }
    };
    if (served.size() == 1) {
      // Only one host answers: two copies in a row from it, as ever.
      const size_t host = served[0];
      if (!ask(host)) return Result::kStopped;
      if (copies[host].size() == 2 && copies[host][0] == copies[host][1]) {
        leave_out_gone();
        Accept(copies[host][0], records);
        return Result::kFetched;
      }
      Error::RecordError(L"DownloadManager::FetchCrcInfo the two copies of " + name + L" from " +
                             hosts.Name(host) + L" differ; fetching both again",
                         static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
      continue;
    }
    const size_t a = served[0];
    const size_t b = served[1];
    if (copies[a][0] == copies[b][0]) {
      leave_out_gone();
      Accept(copies[a][0], records);
      return Result::kFetched;
    }
    Error::RecordError(L"DownloadManager::FetchCrcInfo the copies of " + name + L" from " +
                           hosts.Name(a) + L" and " + hosts.Name(b) +
                           L" differ; asking every host twice",
                       static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
    for (size_t host : order) {
      // A host that rests now has failed its tries already.
      if (copies[host].empty() && !hosts.Usable(host)) continue;
      if (copies[host].size() < 2 && !gone[host]) {
        if (!ask(host)) return Result::kStopped;
      }
      if (copies[host].size() == 1 && host != a && host != b) {
        if (!ask(host)) return Result::kStopped;
      }
    }
    // The steady hosts, by the copy they serve, in the hosts' order.
    std::vector<std::string> texts;
    std::vector<std::vector<size_t>> voters;
    for (size_t host : order) {
      const std::vector<std::string>& mine = copies[host];
      if (mine.empty()) continue;
      if (mine.size() < 2 || mine[0] != mine[1]) {
        hosts.LeaveOut(host, L"its " + name + L" changed between two requests");
        continue;
      }
      const auto found = std::find(texts.begin(), texts.end(), mine[0]);
      if (found == texts.end()) {
        texts.push_back(mine[0]);
        voters.push_back({host});
      } else {
        voters[found - texts.begin()].push_back(host);
      }
    }
    if (texts.empty()) continue;
    // The copy most hosts serve; between two that as many serve, the parts.
    size_t best = 0;
    size_t tied = texts.size();
    for (size_t k = 1; k < texts.size(); ++k) {
      if (voters[k].size() > voters[best].size()) {
        best = k;
        tied = texts.size();
      } else if (voters[k].size() == voters[best].size() && tied == texts.size()) {
        tied = k;
      }
    }
    if (tied != texts.size()) {
      bool use_second = false;
      if (!Settle(hosts, probe, texts[best], voters[best][0], texts[tied], voters[tied][0],
                  use_second)) {
        return Result::kFetched;
      }
      if (use_second) best = tied;
    }
    std::wstring trusted;
    for (size_t host : voters[best]) trusted += (trusted.empty() ? L"" : L", ") + hosts.Name(host);
    for (size_t k = 0; k < texts.size(); ++k) {
      if (k == best) continue;
      for (size_t host : voters[k]) {
        hosts.LeaveOut(host, L"its " + name + L" differs from the one of " + trusted);
      }
    }
    leave_out_gone();
    Accept(texts[best], records);
    return Result::kFetched;
  }
  Error::RecordError(L"DownloadManager::FetchCrcInfo the copies of " + name + L" never agreed",
                     static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
  return Result::kFetched;
}

namespace {

// The first part where two copies of the CRC info differ for a file both
// list: false when they differ only in files one of them lacks.
bool FirstDifference(const ReleaseManifest& first, const ReleaseManifest& second,
                     uint32_t part_size, const ManifestFile*& record, size_t& part) {
  for (const ManifestFile& mine : first) {
    for (const ManifestFile& theirs : second) {
      if (mine.host_name != theirs.host_name) continue;
      const size_t parts = std::min(mine.part_crcs.size(), theirs.part_crcs.size());
      for (size_t k = 0; k < parts; ++k) {
        if (mine.part_crcs[k] != theirs.part_crcs[k] ||
            PartBytes(mine.size, part_size, k) != PartBytes(theirs.size, part_size, k)) {
          record = &mine;
          part = k;
          return true;
        }
      }
    }
  }
  return false;
}

}  // namespace

bool CrcInfoSource::Settle(HostPool& hosts, const ProbePart& probe, const std::string& first,
                           size_t first_host, const std::string& second, size_t second_host,
                           bool& use_second) const {
  if (settled && settled->first == first && settled->second == second) {
    use_second = settled->use_second;
    return settled->decided;
  }
  settled = Settled{first, second, false, false};
  const ReleaseManifest mine = ParseCrcInfo(first.data(), first.size());
  const ReleaseManifest theirs = ParseCrcInfo(second.data(), second.size());
  const ManifestFile* record = nullptr;
  size_t part = 0;
  const std::wstring who = hosts.Name(first_host) + L" and " + hosts.Name(second_host);
  if (!probe || !FirstDifference(mine, theirs, layout.PartSize(), record, part)) {
    Error::LogMessage(L"DownloadManager::FetchCrcInfo no part can settle between the copies of " +
                          who + L": the first host's is used",
                      kModule, __LINE__);
    use_second = first_host > second_host;
    settled->decided = true;
    settled->use_second = use_second;
    return true;
  }
  const ManifestFile* other = nullptr;
  for (const ManifestFile& candidate : theirs) {
    if (candidate.host_name == record->host_name) other = &candidate;
  }
  // Each host's part counts for every copy it matches: a host whose own
  // parts match the other copy shows that its copy is the one that is
  // wrong.
  int first_votes = 0;
  int second_votes = 0;
  int fetched = 0;
  for (size_t host : {first_host, second_host}) {
    uint32_t crc = 0;
    if (!probe(host, *record, part, crc)) continue;
    fetched++;
    first_votes += static_cast<int32_t>(crc) == record->part_crcs[part];
    second_votes += static_cast<int32_t>(crc) == other->part_crcs[part];
  }
  const std::wstring which = L"part " + std::to_wstring(part) + L" of " + record->host_name;
  if (fetched == 0) {
    // Nothing settled: the next fetch tries again.
    settled.reset();
    Error::RecordError(L"DownloadManager::FetchCrcInfo " + which + L" could not be fetched from " +
                           who + L" to settle between their copies of " + layout.CrcInfoName(),
                       static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
    return false;
  }
  if (first_votes == 0 && second_votes == 0) {
    Error::RecordError(L"DownloadManager::FetchCrcInfo " + which + L" from " + who +
                           L" matches neither host's copy of " + layout.CrcInfoName(),
                       static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
    return false;
  }
  use_second = second_votes > first_votes || (second_votes == first_votes && first_host > second_host);
  settled->decided = true;
  settled->use_second = use_second;
  Error::LogMessage(L"DownloadManager::FetchCrcInfo " + which + L" from " + who + L" matches " +
                        std::to_wstring(first_votes) + L" time(s) the copy of " +
                        hosts.Name(first_host) + L" and " + std::to_wstring(second_votes) +
                        L" time(s) the copy of " + hosts.Name(second_host),
                    kModule, __LINE__);
  return true;
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
