#include "tools/logservice/uploadreceiver.h"

#include "tools/logservice/gunzip.h"
#include "tools/logservice/logdecode.h"
#include "tools/logservice/outcome.h"
#include "tools/logservice/privacy.h"

namespace {

constexpr size_t kMaxLabel = 80;

// A header value fit to file a log under: printable ASCII, bounded.
std::string Label(const std::string& value) {
  std::string out;
  for (const char c : value.substr(0, kMaxLabel)) {
    out += (c >= 0x20 && c < 0x7f) ? c : '?';
  }
  return out;
}

}  // namespace

UploadReceiver::UploadReceiver(LogStore& store, const ReceiveLimits& limits, Logger log,
                               Clock clock)
    : store_(store), limits_(limits), log_(std::move(log)), clock_(std::move(clock)) {}

HttpResponse UploadReceiver::Refuse(const HttpRequest& request, int status,
                                    const std::string& why) {
  const std::string& forwarded = request.Header("x-forwarded-for");
  log_("refused an upload of " + std::to_string(request.body.size()) + " bytes from " +
       (forwarded.empty() ? request.peer : forwarded) + ": " + std::to_string(status) + " " + why);
  return HttpResponse::Text(status, why);
}

HttpResponse UploadReceiver::Receive(const HttpRequest& request) {
  if (request.method != "POST") {
    HttpResponse response = HttpResponse::Text(405, "POST only");
    response.headers.emplace_back("Allow", "POST");
    return response;
  }
  if (request.body.empty()) return Refuse(request, 400, "empty body");
  std::string inflated;
  const GunzipResult inflate =
      Gunzip(request.body, {limits_.max_inflated, limits_.max_inflate_time}, inflated);
  if (inflate != GunzipResult::kOk) {
    return Refuse(request, inflate == GunzipResult::kTooLarge ? 413 : 400,
                  GunzipResultText(inflate));
  }
  StoredLog log;
  std::string why;
  if (!DecodeLog(inflated, limits_.decode, log.records, why)) return Refuse(request, 422, why);
  inflated.clear();
  inflated.shrink_to_fit();

  // "<release> <version>"; a program too old to send it is filed by its
  // manager version alone.
  const std::string release = Label(request.Header("release"));
  const size_t blank = release.rfind(' ');
  log.release = ScrubPrivate(blank == std::string::npos ? release : release.substr(0, blank));
  log.version =
      ScrubPrivate(blank == std::string::npos ? Label(request.Header("downloadmanagerversion"))
                                              : release.substr(blank + 1));
  if (log.release.empty()) log.release = "unknown";
  for (LogRecord& r : log.records) {
    r.message = ScrubPrivate(r.message);
    r.name = ScrubPrivate(r.name);
    r.module = ScrubPrivate(r.module);
    if (r.number != 0) ++log.errors;
  }
  log.outcome = ClassifyOutcome(log.records);
  log.received = clock_();
  store_.Add(log);
  return HttpResponse::Text(200, "OK");
}
