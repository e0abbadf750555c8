#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

struct HttpRequest {
  std::string method;
  std::string path;
  std::string query;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string peer;

  const std::string& Header(const std::string& lower_name) const;
};

struct HttpResponse {
  int status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  bool close = false;

  static HttpResponse Text(int status, std::string text);
};

// The head of a request, parsed strictly: a request that cannot be read
// exactly gets an answer, never a guess.
struct RequestHead {
  HttpRequest request;
  size_t body_length = 0;
  bool keep_alive = true;
  bool expects_continue = false;
};

// 0 when the head is well formed; otherwise the status to answer with and
// why in `why`.
int ParseRequestHead(const std::string& head, RequestHead& out, std::string& why);

std::string SerializeResponse(const HttpResponse& response, bool close);
