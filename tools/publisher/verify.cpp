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

int Check(const HostLayout& layout, const Fetch& fetch) {
  std::string text;
  std::string problem;
  if (!fetch(layout.CrcInfoRequest(), kMaxCrcInfoBytes, text, problem)) {
    std::fprintf(stderr, "verify: CRC info %s: %s\n", layout.CrcInfoRequest().c_str(),
                 problem.c_str());
    return 1;
  }
  const ReleaseManifest records = ParseCrcInfo(text.data(), text.size());
  if (records.empty()) {
    std::fprintf(stderr, "verify: CRC info %s holds no file record\n",
                 layout.CrcInfoRequest().c_str());
    return 1;
  }
  uint64_t total = 0;
  for (const ManifestFile& record : records) total += record.size;

  const CRC crc;
  size_t differences = 0;
  size_t parts_checked = 0;
  uint64_t done = 0;
  Progress progress("verify", total);
  auto report = [&differences](const std::string& what, const std::string& how) {
    std::fprintf(stderr, "verify: %s: %s\n", what.c_str(), how.c_str());
    ++differences;
  };
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
  std::fprintf(stderr, "verify: %zu files, %zu parts, %zu difference%s\n", records.size(),
               parts_checked, differences, differences == 1 ? "" : "s");
  return differences ? 1 : 0;
}

}  // namespace

int Verify(const VerifyOptions& options) {
  const HostLayout layout(options.release, options.subdir);
  if (!options.dir.empty()) {
    return Check(layout, [&options](const std::string& request, size_t max_bytes,
                                    std::string& bytes, std::string& problem) {
      const std::string path = options.dir + "/" + HostLayout::ToFilePath(request);
      if (!FileIo::ReadWholeFile(path, bytes, problem)) return false;
      if (bytes.size() > max_bytes) bytes.resize(max_bytes + 1);
      return true;
    });
  }
  std::string error;
  if (!CheckHostUrl(options.url, options.plain_http_loopback, error)) {
    std::fprintf(stderr, "verify: %s\n", error.c_str());
    return 2;
  }
  HttpClient client(options.ca_file, options.plain_http_loopback);
  return Check(layout, [&](const std::string& request, size_t max_bytes, std::string& bytes,
                           std::string& problem) {
    HttpClient::Response response;
    // One byte more than expected shows a body that is too long.
    client.Get(ObjectUrl(options.url, request, options.sas), max_bytes + 1, response);
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
  });
}
