#include "tools/publisher/http.h"

#include <cctype>

#include "base/urlpath.h"

namespace {

constexpr long kConnectTimeoutS = 15;
// A transfer slower than 1 KB/s for 30 s counts as a stall.
constexpr long kLowSpeedBytes = 1000;
constexpr long kLowSpeedSeconds = 30;

struct Sink {
  HttpClient::Response* response;
  size_t max_body;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  Sink* sink = static_cast<Sink*>(user);
  const size_t bytes = size * count;
  if (sink->response->body.size() + bytes > sink->max_body) return 0;
  sink->response->body.append(data, bytes);
  return bytes;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* headers = static_cast<std::map<std::string, std::string>*>(user);
  const std::string line(data, size * count);
  const size_t colon = line.find(':');
  if (colon != std::string::npos) {
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t first = line.find_first_not_of(" \t", colon + 1);
    const size_t last = line.find_last_not_of(" \t\r\n");
    (*headers)[name] =
        first == std::string::npos || last < first ? "" : line.substr(first, last - first + 1);
  }
  return size * count;
}

// Owns a header list for one request.
using HeaderList = std::unique_ptr<curl_slist, void (*)(curl_slist*)>;

HeaderList MakeHeaders(const std::vector<std::string>& headers) {
  HeaderList list(nullptr, curl_slist_free_all);
  for (const std::string& header : headers) {
    curl_slist* grown = curl_slist_append(list.get(), header.c_str());
    if (grown) {
      list.release();
      list.reset(grown);
    }
  }
  return list;
}

}  // namespace

HttpClient::HttpClient(const std::string& ca_file, bool plain_http)
    : curl_(curl_easy_init(), curl_easy_cleanup), ca_file_(ca_file), plain_http_(plain_http) {}

void HttpClient::Perform(Response& response, size_t max_body) {
  response = Response();
  CURL* curl = curl_.get();
  Sink sink{&response, max_body};
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response.headers);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutS);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytes);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kLowSpeedSeconds);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // The host must send the bytes as they are; no content encoding asked for.
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, nullptr);
  if (!ca_file_.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file_.c_str());
  // The signature rides in every address: never in clear, and never to
  // wherever a redirect points.
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, plain_http_ ? "https,http" : "https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  if (plain_http_) {
    // Checked again for every request, by the address it is really sent to,
    // and never through a proxy that would see it in clear.
    std::string scheme;
    std::string host;
    if (!UrlSchemeAndHost(url_, scheme, host) || (scheme != "https" && !IsLoopbackHost(host))) {
      response.failure = "refused: plain http to a host that is not loopback";
      return;
    }
    if (scheme == "http") curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  }
  const CURLcode code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  if (code != CURLE_OK) {
    response.too_long = code == CURLE_WRITE_ERROR;
    response.failure =
        response.too_long ? "the body is longer than expected" : curl_easy_strerror(code);
  }
}

void HttpClient::Get(const std::string& url, size_t max_body, Response& response) {
  CURL* curl = curl_.get();
  curl_easy_reset(curl);
  url_ = url;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  Perform(response, max_body);
}

void HttpClient::Head(const std::string& url, Response& response) {
  CURL* curl = curl_.get();
  curl_easy_reset(curl);
  url_ = url;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  Perform(response, 0);
}

void HttpClient::Delete(const std::string& url, const std::vector<std::string>& headers,
                        Response& response) {
  CURL* curl = curl_.get();
  curl_easy_reset(curl);
  const HeaderList list = MakeHeaders(headers);
  url_ = url;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "DELETE");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.get());
  Perform(response, 1 << 20);
}

void HttpClient::Put(const std::string& url, const std::vector<std::string>& headers,
                     const void* body, size_t size, Response& response) {
  CURL* curl = curl_.get();
  curl_easy_reset(curl);
  std::vector<std::string> all = headers;
  // No "Expect: 100-continue" round trip for every object.
  all.push_back("Expect:");
  const HeaderList list = MakeHeaders(all);
  url_ = url;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "PUT");
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(size));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.get());
  Perform(response, 1 << 20);
}

bool UrlSchemeAndHost(const std::string& url, std::string& scheme, std::string& host) {
  const std::unique_ptr<CURLU, void (*)(CURLU*)> parsed(curl_url(), curl_url_cleanup);
  char* part = nullptr;
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
      curl_url_get(parsed.get(), CURLUPART_SCHEME, &part, 0) != CURLUE_OK) {
    return false;
  }
  scheme = part;
  curl_free(part);
  if (curl_url_get(parsed.get(), CURLUPART_HOST, &part, 0) != CURLUE_OK) return false;
  host = part;
  curl_free(part);
  return true;
}

bool IsLoopbackHost(const std::string& host) {
  // Dotted 127.x.x.x only: other forms ("127.1", "0x7f.1") are left to
  // whoever resolves them, and refused here.
  int dots = 0;
  for (const char c : host) dots += c == '.';
  return (host.rfind("127.", 0) == 0 && dots == 3 &&
          host.find_first_not_of("0123456789.") == std::string::npos &&
          host.find("..") == std::string::npos && host.back() != '.') ||
         host == "localhost" || host == "[::1]";
}

bool CheckHostUrl(const std::string& url, bool plain_http_loopback, std::string& error) {
  std::string scheme;
  std::string host;
  // The host is the one libcurl will connect to: "http://localhost:1@HOST/"
  // goes to HOST, whatever its first letters say.
  if (!UrlSchemeAndHost(url, scheme, host) || host.empty()) {
    error = "the host's address \"" + url + "\" cannot be read";
    return false;
  }
  if (scheme == "https") return true;
  if (plain_http_loopback && scheme == "http") {
    if (IsLoopbackHost(host)) return true;
    error = "--plain-http-loopback allows http:// only to a loopback address, not \"" + host + "\"";
    return false;
  }
  error =
      "the host's address must begin with https://: the signature in every request would "
      "otherwise travel in clear";
  return false;
}

std::string ObjectUrl(const std::string& base, const std::string& request, const std::string& sas) {
  std::string url = base;
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url + (request.rfind('/', 0) == 0 ? "" : "/") + EscapePathSegments(request) + sas;
}
