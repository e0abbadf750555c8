#pragma once

#include <string>

#include "tools/logservice/httpmessage.h"
#include "tools/logservice/logstore.h"

// The maker's view of the uploads: the page, and the JSON and CSV behind
// each of its views. Every request needs the maker's secret, as the
// password of Basic authentication (any user name) or as a Bearer token.
class Dashboard {
 public:
  Dashboard(LogStore& store, std::string secret);

  HttpResponse Serve(const HttpRequest& request);

 private:
  bool Authorized(const HttpRequest& request) const;
  HttpResponse Outcomes(const LogFilter& filter, bool csv);
  HttpResponse Errors(const LogFilter& filter, int64_t limit, bool csv);
  HttpResponse Runs(const LogFilter& filter, int64_t limit, bool csv);
  HttpResponse Run(int64_t id, bool csv);

  LogStore& store_;
  std::string secret_;
};

// The page itself: HTML, CSS and script in one text, nothing from elsewhere.
extern const char kDashboardPage[];
