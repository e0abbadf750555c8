#include "tools/logservice/httpmessage.h"

#include <cctype>

namespace {

constexpr size_t kMaxLengthDigits = 15;

bool IsToken(const std::string& text) {
  if (text.empty()) return false;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 32 || u >= 127 || std::string("()<>@,;:\\\"/[]?={}").find(c) != std::string::npos) {
      return false;
    }
  }
  return true;
}

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  return text.substr(begin, end - begin);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

const char* Reason(int status) {
  switch (status) {
    case 100:
      return "Continue";
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 411:
      return "Length Required";
    case 413:
      return "Payload Too Large";
    case 415:
      return "Unsupported Media Type";
    case 422:
      return "Unprocessable Content";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

// A CR, LF or other control byte (a tab aside) inside a line: a bare line
// feed ends a header line for some readers and not for others, which is how
// a second request is smuggled in a header value.
bool HasControl(const std::string& text) {
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 32 && c != '\t') || u == 127) return true;
  }
  return false;
}

}  // namespace

const std::string& HttpRequest::Header(const std::string& lower_name) const {
  static const std::string kNone;
  const auto it = headers.find(lower_name);
  return it == headers.end() ? kNone : it->second;
}

HttpResponse HttpResponse::Text(int status, std::string text) {
  HttpResponse response;
  response.status = status;
  response.body = std::move(text) + "\n";
  return response;
}

int ParseRequestHead(const std::string& head, RequestHead& out, std::string& why) {
  size_t at = head.find("\r\n");
  const std::string line = head.substr(0, at);
  const size_t first = line.find(' ');
  const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
  if (second == std::string::npos || line.find(' ', second + 1) != std::string::npos) {
    why = "malformed request line";
    return 400;
  }
  HttpRequest& request = out.request;
  request.method = line.substr(0, first);
  const std::string target = line.substr(first + 1, second - first - 1);
  const std::string version = line.substr(second + 1);
  if (!IsToken(request.method) || target.empty() || target[0] != '/' || HasControl(line) ||
      (version != "HTTP/1.1" && version != "HTTP/1.0")) {
    why = "malformed request line";
    return 400;
  }
  const size_t question = target.find('?');
  request.path = target.substr(0, question);
  request.query = question == std::string::npos ? std::string() : target.substr(question + 1);
  out.keep_alive = version == "HTTP/1.1";

  bool has_length = false;
  while (at != std::string::npos && at + 2 < head.size()) {
    const size_t start = at + 2;
    at = head.find("\r\n", start);
    const std::string field = head.substr(start, at == std::string::npos ? at : at - start);
    if (field.empty()) break;
    const size_t colon = field.find(':');
    const std::string name = colon == std::string::npos ? std::string() : field.substr(0, colon);
    // A folded line or a name with blanks is how requests are smuggled.
    if (!IsToken(name)) {
      why = "malformed header line";
      return 400;
    }
    if (HasControl(field)) {
      why = "control character in a header line";
      return 400;
    }
    const std::string lower = Lower(name);
    const std::string value = Trim(field.substr(colon + 1));
    if (lower == "content-length") {
      if (value.empty() || value.size() > kMaxLengthDigits ||
          value.find_first_not_of("0123456789") != std::string::npos) {
        why = "Content-Length is not a number";
        return 400;
      }
      const size_t length = std::stoull(value);
      if (has_length && length != out.body_length) {
        why = "two different Content-Length headers";
        return 400;
      }
      has_length = true;
      out.body_length = length;
    } else if (lower == "transfer-encoding") {
      why = "Transfer-Encoding is not taken; send Content-Length";
      return 411;
    } else if (lower == "connection") {
      const std::string token = Lower(value);
      if (token == "close") out.keep_alive = false;
      if (token == "keep-alive") out.keep_alive = true;
    } else if (lower == "expect") {
      out.expects_continue = Lower(value) == "100-continue";
    }
    auto& slot = request.headers[lower];
    slot = slot.empty() ? value : slot + ", " + value;
  }
  return 0;
}

std::string SerializeResponse(const HttpResponse& response, bool close) {
  std::string text = "HTTP/1.1 " + std::to_string(response.status) + " " + Reason(response.status) +
                     "\r\nContent-Type: " + response.content_type +
                     "\r\nContent-Length: " + std::to_string(response.body.size()) + "\r\n";
  for (const auto& [name, value] : response.headers) text += name + ": " + value + "\r\n";
  if (close) text += "Connection: close\r\n";
  text += "\r\n";
  text += response.body;
  return text;
}
