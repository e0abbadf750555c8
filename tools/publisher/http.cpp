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
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  Perform(response, max_body);
}

void HttpClient::Head(const std::string& url, Response& response) {
  CURL* curl = curl_.get();
  curl_easy_reset(curl);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  Perform(response, 0);
}

void HttpClient::Delete(const std::string& url, const std::vector<std::string>& headers,
                        Response& response) {
  CURL* curl = curl_.get();
  curl_easy_reset(curl);
  const HeaderList list = MakeHeaders(headers);
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
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "PUT");
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(size));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.get());
  Perform(response, 1 << 20);
}

bool CheckHostUrl(const std::string& url, bool plain_http_loopback, std::string& error) {
  if (url.rfind("https://", 0) == 0 && url.size() > 8) return true;
  if (plain_http_loopback && url.rfind("http://", 0) == 0) {
    const std::string rest = url.substr(7);
    const std::string host = rest.substr(0, rest.find_first_of(":/"));
    const bool ipv4_loopback =
        host.rfind("127.", 0) == 0 && host.find_first_not_of("0123456789.") == std::string::npos;
    if (ipv4_loopback || host == "localhost" || rest.rfind("[::1]", 0) == 0) {
      return true;
    }
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
