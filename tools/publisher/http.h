#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

// One HTTPS client over libcurl: one handle, so that its requests reuse the
// connection. URLs it is given may carry an access signature, so none of
// its messages ever holds a URL.
class HttpClient {
 public:
  struct Response {
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string failure;    // set when no whole answer came (reset, timeout, TLS)
    bool too_long = false;  // the body passed the caller's limit
  };

  // `ca_file` replaces the system's trusted certificates when not empty.
  // Only HTTPS is spoken, unless `plain_http` (a loopback test host).
  HttpClient(const std::string& ca_file, bool plain_http);

  // A body longer than `max_body` ends the transfer as a failure.
  void Get(const std::string& url, size_t max_body, Response& response);
  void Head(const std::string& url, Response& response);
  void Put(const std::string& url, const std::vector<std::string>& headers, const void* body,
           size_t size, Response& response);
  void Delete(const std::string& url, const std::vector<std::string>& headers, Response& response);

 private:
  void Perform(Response& response, size_t max_body);

  std::unique_ptr<CURL, void (*)(CURL*)> curl_;
  std::string ca_file_;
  bool plain_http_;
  std::string url_;  // of the request being sent
};

// curl_global_init and its cleanup, once for the process, held by main.
class CurlGlobal {
 public:
  CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
  ~CurlGlobal() { curl_global_cleanup(); }
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;
};

// The scheme and host of `url` as libcurl reads it: where a request for it
// really goes. False when libcurl cannot read it.
bool UrlSchemeAndHost(const std::string& url, std::string& scheme, std::string& host);
bool IsLoopbackHost(const std::string& host);

// False, with `error`, unless `url` is "https://..." or, with
// `plain_http_loopback`, "http://" to a loopback address (127.x.x.x,
// [::1], localhost): a signature must never cross a network in clear.
bool CheckHostUrl(const std::string& url, bool plain_http_loopback, std::string& error);

// BASE + the object path as the program requests it (each segment escaped;
// a path without a leading slash gets one, as WinINet sends it) + the
// signature.
std::string ObjectUrl(const std::string& base, const std::string& request, const std::string& sas);
