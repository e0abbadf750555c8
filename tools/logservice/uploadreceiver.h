#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "tools/logservice/httpmessage.h"
#include "tools/logservice/logdecode.h"
#include "tools/logservice/logstore.h"

inline constexpr char kUploadPath[] = "/Veltra/DownloadManager8.ashx";

struct ReceiveLimits {
  // A real log inflates to kilobytes; a run that failed for hours to some
  // hundreds of kilobytes.
  size_t max_inflated = 8 * 1024 * 1024;
  std::chrono::milliseconds max_inflate_time{2000};
  DecodeLimits decode;
};

// The program's log upload: inflates, checks, scrubs, classifies and stores
// it. Anything that is not such a log gets a 4xx answer, one line in the
// service's log and nothing stored.
class UploadReceiver {
 public:
  using Logger = std::function<void(const std::string&)>;
  using Clock = std::function<int64_t()>;  // Unix seconds

  UploadReceiver(LogStore& store, const ReceiveLimits& limits, Logger log, Clock clock);

  HttpResponse Receive(const HttpRequest& request);

 private:
  HttpResponse Refuse(const HttpRequest& request, int status, const std::string& why);

  LogStore& store_;
  ReceiveLimits limits_;
  Logger log_;
  Clock clock_;
};
