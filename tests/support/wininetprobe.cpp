#include "tests/support/wininetprobe.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "net/wininethandle.h"

namespace {

const wchar_t kUserAgentHeader[] = L"User-Agent: Veltra Download Manager / 9.5\r\n";
const DWORD kDownloadFlags =
    INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE | INTERNET_FLAG_PRAGMA_NOCACHE;

void SetTimeout(HINTERNET handle, DWORD option, DWORD ms) {
  ::InternetSetOptionW(handle, option, &ms, sizeof(ms));
}

}  // namespace

FetchResult Fetch(const std::wstring& host, const std::wstring& object, DWORD receive_timeout_ms,
                  bool timeout_on_request) {
  FetchResult result;
  InternetHandle internet(
      ::InternetOpenW(L"Veltra", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!internet) {
    result.send_error = ::GetLastError();
    return result;
  }
  SetTimeout(internet.Get(), INTERNET_OPTION_CONNECT_TIMEOUT, 10000);
  SetTimeout(internet.Get(), INTERNET_OPTION_SEND_TIMEOUT, 120000);
  SetTimeout(internet.Get(), INTERNET_OPTION_RECEIVE_TIMEOUT, receive_timeout_ms);
  InternetHandle connection(::InternetConnectW(internet.Get(), host.c_str(), 443, nullptr, nullptr,
                                               INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) {
    result.send_error = ::GetLastError();
    return result;
  }
  InternetHandle request(::HttpOpenRequestW(connection.Get(), L"GET", object.c_str(), nullptr,
                                            nullptr, nullptr, kDownloadFlags, 0));
  if (!request) {
    result.send_error = ::GetLastError();
    return result;
  }
  if (timeout_on_request) {
    SetTimeout(request.Get(), INTERNET_OPTION_RECEIVE_TIMEOUT, receive_timeout_ms);
  }
  if (!::HttpSendRequestW(request.Get(), kUserAgentHeader, static_cast<DWORD>(-1), nullptr, 0)) {
    result.send_error = ::GetLastError();
    return result;
  }
  result.sent = true;
  DWORD length = sizeof(result.status);
  ::HttpQueryInfoW(request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &result.status,
                   &length, nullptr);
  std::vector<char> buffer(0x80000);
  for (;;) {
    DWORD read = 0;
    if (!::InternetReadFile(request.Get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                            &read)) {
      result.read_ok = false;
      result.read_error = ::GetLastError();
      break;
    }
    if (read == 0) break;
    result.body.append(buffer.data(), read);
  }
  return result;
}

PostResult Post(const std::wstring& host, INTERNET_PORT port, bool secure, const std::string& body,
                DWORD request_receive_timeout_ms) {
  PostResult result;
  InternetHandle internet(
      ::InternetOpenW(L"Veltra", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  SetTimeout(internet.Get(), INTERNET_OPTION_CONNECT_TIMEOUT, 10000);
  SetTimeout(internet.Get(), INTERNET_OPTION_RECEIVE_TIMEOUT, 10000);
  InternetHandle connection(::InternetConnectW(internet.Get(), host.c_str(), port, nullptr, nullptr,
                                               INTERNET_SERVICE_HTTP, 0, 0));
  const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                      INTERNET_FLAG_PRAGMA_NOCACHE | (secure ? INTERNET_FLAG_SECURE : 0);
  InternetHandle request(::HttpOpenRequestW(connection.Get(), L"POST",
                                            L"/Veltra/DownloadManager8.ashx", nullptr, nullptr,
                                            nullptr, flags, 0));
  if (!request) {
    result.error = ::GetLastError();
    return result;
  }
  if (request_receive_timeout_ms) {
    SetTimeout(request.Get(), INTERNET_OPTION_RECEIVE_TIMEOUT, request_receive_timeout_ms);
  }
  std::wstring headers =
      L"Content-Type: application/octet-stream\r\nDownloadManagerVersion: 9.5\r\n"
      L"Method: LogErrorInfo\r\nUser-Agent: Veltra Download Manager / 9.5\r\n";
  INTERNET_BUFFERSW buffers = {};
  buffers.dwStructSize = sizeof(buffers);
  buffers.lpcszHeader = headers.c_str();
  buffers.dwHeadersLength = static_cast<DWORD>(headers.size());
  buffers.dwBufferTotal = static_cast<DWORD>(body.size());
  if (!::HttpSendRequestExW(request.Get(), &buffers, nullptr, 0, 0)) {
    result.error = ::GetLastError();
    return result;
  }
  for (size_t sent = 0; sent < body.size();) {
    const DWORD n = static_cast<DWORD>(std::min<size_t>(1024, body.size() - sent));
    DWORD written = 0;
    if (!::InternetWriteFile(request.Get(), body.data() + sent, n, &written)) {
      result.error = ::GetLastError();
      return result;
    }
    sent += written;
  }
  if (!::HttpEndRequestW(request.Get(), nullptr, 0, 0)) {
    result.error = ::GetLastError();
    return result;
  }
  result.sent = true;
  DWORD length = sizeof(result.status);
  if (!::HttpQueryInfoW(request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                        &result.status, &length, nullptr)) {
    result.error = ::GetLastError();
    return result;
  }
  char buffer[4096];
  DWORD read = 0;
  while (::InternetReadFile(request.Get(), buffer, sizeof(buffer), &read) && read > 0) {
    result.body.append(buffer, read);
  }
  return result;
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (auto& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

::testing::AssertionResult SameBytes(const std::string& expected, const std::string& actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  return ::testing::AssertionFailure() << "expected " << expected.size() << " bytes, got "
                                       << actual.size() << ", first difference at " << at;
}

void Report(const char* what, const FetchResult& r) {
  std::printf(
      "[wininet] %s: sent=%d send_error=%lu status=%lu read_ok=%d read_error=%lu "
      "bytes=%zu\n",
      what, r.sent, r.send_error, r.status, r.read_ok, r.read_error, r.body.size());
}
