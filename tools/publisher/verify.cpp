#include "tools/publisher/verify.h"

#include <cstdio>
#include <functional>

#include "base/crc.h"
#include "download/releaselayout.h"
#include "download/releasemanifest.h"
#include "tools/publisher/fileio.h"
#include "tools/publisher/http.h"
#include "tools/publisher/progress.h"
#include "tools/publisher/releaseplan.h"

namespace {

// A CRC info beyond this is no CRC info (a release of 4,000 files of 4 GiB
// stays far below).
constexpr size_t kMaxCrcInfoBytes = 64u << 20;

// Fetches one object by the path the program requests: true with its bytes,
// or false with why not.
using Fetch = std::function<bool(const std::string& request, size_t max_bytes, std::string& bytes,
                                 std::string& problem)>;

// Checks the objects `fetch` gives against the CRC info they hold, or
// against `reference` (the published folder's), which theirs must then
// equal. Every message names `host` when it is given (one of several).
int Check(const HostLayout& layout, const Fetch& fetch, const std::string* reference = nullptr,
          const std::string& host = "") {
  const std::string label = host.empty() ? "" : host + ": ";
  std::string text;
  std::string problem;
  if (!fetch(layout.CrcInfoRequest(), kMaxCrcInfoBytes, text, problem)) {
    std::fprintf(stderr, "verify: %sCRC info %s: %s\n", label.c_str(),
                 layout.CrcInfoRequest().c_str(), problem.c_str());
    return 1;
  }
  size_t differences = 0;
  auto report = [&differences, &label](const std::string& what, const std::string& how) {
    std::fprintf(stderr, "verify: %s%s: %s\n", label.c_str(), what.c_str(), how.c_str());
    ++differences;
  };
  if (reference && text != *reference) {
    report(layout.CrcInfoRequest(), "differs from the published folder's CRC info");
    text = *reference;
  }
  const ReleaseManifest records = ParseCrcInfo(text.data(), text.size());
  if (records.empty()) {
    std::fprintf(stderr, "verify: %sCRC info %s holds no file record\n", label.c_str(),
                 layout.CrcInfoRequest().c_str());
    return 1;
  }
  uint64_t total = 0;
  for (const ManifestFile& record : records) total += record.size;

  const CRC crc;
  size_t parts_checked = 0;
  uint64_t done = 0;
  Progress progress(host.empty() ? "verify" : "verify " + host, total);
  for (const ManifestFile& record : records) {
    const std::string name = Narrow(record.host_name);
    const uint32_t size = record.size;
    const std::string name_problem = NameProblem(name, true);
    if (!name_problem.empty()) {
      report(name, "the program would refuse this name: it " + name_problem);
      continue;
    }
    if (size == 0) {
      report(name,
             "has 0 bytes: the program fetches a file by its parts and would never "
             "deliver it");
      continue;
    }
    const size_t parts = record.part_crcs.size();
    if (parts != PartCount(size, kPartSize)) {
      report(name, std::to_string(parts) + " part lines for " + std::to_string(size) +
                       " bytes, which make " + std::to_string(PartCount(size, kPartSize)) +
                       " parts");
    }
  }
  for (const PartObject& part : PartObjects(layout, records)) {
    if (!NameProblem(part.file_name, true).empty() || part.size == 0) continue;
    std::string bytes;
    ++parts_checked;
    if (!fetch(part.request, part.size, bytes, problem)) {
      report(part.request, problem);
    } else if (bytes.size() != part.size) {
      report(part.request, "has " + std::to_string(bytes.size()) + " bytes, the CRC info says " +
                               std::to_string(part.size));
    } else if (static_cast<int32_t>(crc.Compute(bytes.data(), bytes.size())) != part.crc) {
      report(part.request, "its CRC-32 differs from the CRC info's");
    }
    done += part.size;
    progress.Report(done, part.file_name);
  }
  progress.Finish(done);
  std::fprintf(stderr, "verify: %s%zu files, %zu parts, %zu difference%s\n", label.c_str(),
               records.size(), parts_checked, differences, differences == 1 ? "" : "s");
  return differences ? 1 : 0;
}

// Fetches BASE + the request + the signature: the bytes of an answer 200.
Fetch HostFetch(HttpClient& client, const VerifyHost& host) {
  return [&client, &host](const std::string& request, size_t max_bytes, std::string& bytes,
                          std::string& problem) {
    HttpClient::Response response;
    // One byte more than expected shows a body that is too long.
    client.Get(ObjectUrl(host.url, request, host.sas), max_bytes + 1, response);
    if (!response.failure.empty() && !response.too_long) {
      problem = "no whole answer: " + response.failure;
      return false;
    }
    if (response.status != 200) {
      problem = "answered " + std::to_string(response.status);
      const auto code = response.headers.find("x-ms-error-code");
      if (code != response.headers.end()) problem += " (" + code->second + ")";
      return false;
    }
    const auto encoding = response.headers.find("content-encoding");
    if (encoding != response.headers.end() && !encoding->second.empty()) {
      problem = "sent with content encoding " + encoding->second +
                "; the program needs the bytes as they are";
      return false;
    }
    bytes = std::move(response.body);
    return true;
  };
}

}  // namespace

int Verify(const VerifyOptions& options) {
  const HostLayout layout(options.release, options.subdir);
  if (options.hosts.empty()) {
    return Check(layout, [&options](const std::string& request, size_t max_bytes,
                                    std::string& bytes, std::string& problem) {
      const std::string path = options.dir + "/" + HostLayout::ToFilePath(request);
      if (!FileIo::ReadWholeFile(path, bytes, problem)) return false;
      if (bytes.size() > max_bytes) bytes.resize(max_bytes + 1);
      return true;
    });
  }
  std::string error;
  for (const VerifyHost& host : options.hosts) {
    if (!CheckHostUrl(host.url, options.plain_http_loopback, error)) {
      std::fprintf(stderr, "verify: %s\n", error.c_str());
      return 2;
    }
  }
  if (options.hosts.size() == 1 && options.dir.empty()) {
    HttpClient client(options.ca_file, options.plain_http_loopback);
    return Check(layout, HostFetch(client, options.hosts[0]));
  }
  // Several hosts: each against the published folder's CRC info.
  std::string reference;
  if (!FileIo::ReadWholeFile(options.dir + "/" + layout.CrcInfoFile(), reference, error)) {
    std::fprintf(stderr, "verify: %s\n", error.c_str());
    return 1;
  }
  std::string differing;
  for (const VerifyHost& host : options.hosts) {
    HttpClient client(options.ca_file, options.plain_http_loopback);
    if (Check(layout, HostFetch(client, host), &reference, host.url) != 0) {
      differing += (differing.empty() ? "" : ", ") + host.url;
    }
  }
  if (differing.empty()) {
    std::fprintf(stderr,
                 "verify: every host (%zu) holds the release as the published folder has it\n",
                 options.hosts.size());
    return 0;
  }
  std::fprintf(stderr, "verify: hosts that differ from the published folder: %s\n",
               differing.c_str());
  return 1;
}
