#include "tests/support/testhost.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>

namespace {

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64Encode(const std::string& bytes) {
  std::string out;
  unsigned value = 0;
  int bits = 0;
  for (unsigned char c : bytes) {
    value = (value << 8) | c;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out += kBase64[(value >> bits) & 0x3F];
    }
  }
  if (bits > 0) out += kBase64[(value << (6 - bits)) & 0x3F];
  while (out.size() % 4) out += '=';
  return out;
}

std::string Base64Decode(const std::string& text) {
  std::string out;
  unsigned value = 0;
  int bits = 0;
  for (char c : text) {
    const char* at = std::strchr(kBase64, c);
    if (c == '=' || c == '\0' || at == nullptr) continue;
    value = (value << 6) | static_cast<unsigned>(at - kBase64);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((value >> bits) & 0xFF);
    }
  }
  return out;
}

// Control paths are ASCII: object paths are percent-encoded into the query.
std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string QueryEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

unsigned short PortFromEnvironment(const wchar_t* name) {
  return static_cast<unsigned short>(std::wcstoul(EnvironmentValue(name).c_str(), nullptr, 10));
}

bool Missing(const std::wstring& value, const char* name, std::string* why) {
  if (!value.empty()) return false;
  if (why) {
    *why = std::string(name) +
           " is not set: run through ctest, or start the test servers as tests/hosts/README.md "
           "describes";
  }
  return true;
}

std::vector<RecordedRequest> ParseRequests(const std::string& answer, bool with_bodies) {
  std::vector<RecordedRequest> out;
  const nlohmann::json list = nlohmann::json::parse(answer, nullptr, false);
  if (!list.is_array()) return out;
  for (const auto& entry : list) {
    RecordedRequest request;
    request.method = entry.value("method", "");
    request.target = entry.value("target", "");
    for (const auto& header : entry["headers"]) {
      request.headers.emplace_back(header[0].get<std::string>(), header[1].get<std::string>());
    }
    request.connection = entry.value("connection", 0);
    request.scheme = entry.value("scheme", "");
    if (with_bodies) {
      request.body = Base64Decode(entry.value("body", ""));
      request.body_length = request.body.size();
    } else {
      request.body_length = entry.value("body_length", 0u);
    }
    out.push_back(std::move(request));
  }
  return out;
}

// A body that is not text is shown by its length and a hash of its bytes.
std::string Render(const std::string& method, const std::string& target, const HeaderList& headers,
                   const std::string& body) {
  std::string text = method + " " + target + "\n";
  for (const auto& header : headers) text += header.first + ": " + header.second + "\n";
  bool printable = true;
  for (unsigned char c : body) printable = printable && (c >= 0x20 || c == '\n' || c == '\r');
  return text + "\n" +
         (printable ? body
                    : "<" + std::to_string(body.size()) + " bytes, hash " +
                          std::to_string(std::hash<std::string>()(body)) + ">");
}

}  // namespace

::testing::AssertionResult SameRequest(const ExpectedRequest& expected,
                                       const RecordedRequest& actual) {
  // The download host keeps only the length of a body, the log service the
  // bytes.
  std::string body = actual.body;
  if (body.empty() && actual.body_length > 0) {
    body = "<" + std::to_string(actual.body_length) + " bytes>";
  }
  if (!expected.body) body.clear();
  const std::string want =
      Render(expected.method, expected.target, expected.headers, expected.body.value_or(""));
  const std::string got = Render(actual.method, actual.target, actual.headers, body);
  if (want == got) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected request:\n" << want << "\nreceived:\n" << got;
}

TestHost::TestHost()
    : host_name_(EnvironmentValue(L"VELTRA_TEST_HOST")),
      address_(EnvironmentValue(L"VELTRA_TEST_HOST_ADDRESS")),
      untrusted_host_name_(EnvironmentValue(L"VELTRA_TEST_UNTRUSTED_HOST")),
      refused_host_name_(EnvironmentValue(L"VELTRA_TEST_REFUSED_HOST")),
      control_(PortFromEnvironment(L"VELTRA_TEST_CONTROL_PORT")) {}

bool TestHost::Available(std::string* why) const {
  if (Missing(host_name_, "VELTRA_TEST_HOST", why)) return false;
  if (Missing(EnvironmentValue(L"VELTRA_TEST_CONTROL_PORT"), "VELTRA_TEST_CONTROL_PORT", why)) {
    return false;
  }
  if (!control_.Call(L"GET", L"/ping", "")) {
    if (why) *why = "the control endpoint does not answer";
    return false;
  }
  return true;
}

bool TestHost::Reset() { return control_.Call(L"POST", L"/host/reset", ""); }

bool TestHost::PutObject(const std::string& path, const std::string& bytes) {
  return control_.Call(L"POST", Widen("/host/put?path=" + QueryEncode(path)), bytes);
}

bool TestHost::PutObjectFile(const std::string& path, const std::string& name) {
  return control_.Call(
      L"POST", Widen("/host/put?path=" + QueryEncode(path) + "&file=" + QueryEncode(name)), "");
}

bool TestHost::SetFault(const std::string& path, const HostFault& fault) {
  nlohmann::json settings = {{"path", path}, {"count", fault.count}};
  if (fault.status) {
    settings["status"] = fault.status;
    settings["body_base64"] = Base64Encode(fault.body);
  }
  if (!fault.headers.empty()) {
    nlohmann::json headers = nlohmann::json::array();
    for (const auto& header : fault.headers) headers.push_back({header.first, header.second});
    settings["headers"] = headers;
  }
  if (!fault.bodies.empty()) {
    nlohmann::json bodies = nlohmann::json::array();
    for (const auto& body : fault.bodies) bodies.push_back(Base64Encode(body));
    settings["bodies"] = bodies;
  }
  if (fault.truncate_at >= 0) settings["truncate_at"] = fault.truncate_at;
  if (fault.reset_at >= 0) settings["reset_at"] = fault.reset_at;
  if (!fault.flip.empty()) settings["flip"] = fault.flip;
  if (fault.vary_offset >= 0) settings["vary_offset"] = fault.vary_offset;
  if (fault.stall_before_headers_ms)
    settings["stall_before_headers_ms"] = fault.stall_before_headers_ms;
  if (fault.stall_before_body_ms) settings["stall_before_body_ms"] = fault.stall_before_body_ms;
  if (fault.stall_ms && fault.stall_at >= 0) {
    settings["stall_at"] = fault.stall_at;
    settings["stall_ms"] = fault.stall_ms;
  }
  return control_.Call(L"POST", L"/host/fault", settings.dump());
}

bool TestHost::ClearFault(const std::string& path) {
  return control_.Call(L"POST", L"/host/fault", nlohmann::json{{"path", path}}.dump());
}

bool TestHost::SetListening(bool listening) {
  return control_.Call(L"POST", L"/host/listen", nlohmann::json{{"listening", listening}}.dump());
}

std::vector<RecordedRequest> TestHost::Requests() const {
  std::string answer;
  if (!control_.Call(L"GET", L"/host/requests", "", &answer)) return {};
  return ParseRequests(answer, false);
}

HostCounters TestHost::Counters() const {
  HostCounters counters;
  std::string answer;
  if (!control_.Call(L"GET", L"/host/counters", "", &answer)) return counters;
  const nlohmann::json json = nlohmann::json::parse(answer, nullptr, false);
  if (!json.is_object()) return counters;
  counters.requests = json.value("requests", 0LL);
  counters.connections = json.value("connections", 0LL);
  counters.bytes_sent = json.value("bytes_sent", 0LL);
  return counters;
}

TestLogService::TestLogService()
    : host_name_(EnvironmentValue(L"VELTRA_TEST_LOG_HOST")),
      https_port_(PortFromEnvironment(L"VELTRA_TEST_LOG_HTTPS_PORT")),
      http_port_(PortFromEnvironment(L"VELTRA_TEST_LOG_HTTP_PORT")),
      control_(PortFromEnvironment(L"VELTRA_TEST_CONTROL_PORT")) {}

bool TestLogService::Available(std::string* why) const {
  if (Missing(host_name_, "VELTRA_TEST_LOG_HOST", why)) return false;
  if (https_port_ == 0 || http_port_ == 0) {
    if (why) *why = "VELTRA_TEST_LOG_HTTPS_PORT or VELTRA_TEST_LOG_HTTP_PORT is not set";
    return false;
  }
  if (!control_.Call(L"GET", L"/ping", "")) {
    if (why) *why = "the control endpoint does not answer";
    return false;
  }
  return true;
}

std::wstring TestLogService::Url(bool secure) const {
  return (secure ? L"https://" : L"http://") + host_name_ + L":" +
         std::to_wstring(secure ? https_port_ : http_port_) + L"/Veltra/DownloadManager8.ashx";
}

bool TestLogService::Reset() { return control_.Call(L"POST", L"/log/reset", ""); }

bool TestLogService::SetBehaviour(const LogBehaviour& behaviour) {
  nlohmann::json settings = {{"refuse", behaviour.refuse}, {"count", behaviour.count}};
  if (behaviour.status) {
    settings["status"] = behaviour.status;
    settings["body"] = behaviour.body;
  }
  if (behaviour.stall_before_answer_ms) {
    settings["stall_before_answer_ms"] = behaviour.stall_before_answer_ms;
  }
  if (behaviour.stall_in_body_ms) settings["stall_in_body_ms"] = behaviour.stall_in_body_ms;
  return control_.Call(L"POST", L"/log/behaviour", settings.dump());
}

std::vector<RecordedRequest> TestLogService::Requests() const {
  std::string answer;
  if (!control_.Call(L"GET", L"/log/requests", "", &answer)) return {};
  return ParseRequests(answer, true);
}
