#include "tests/support/controlclient.h"

#include <windows.h>
#include <wininet.h>

#include <vector>

#include "net/wininethandle.h"

bool ControlClient::Call(const std::wstring& verb, const std::wstring& path,
                         const std::string& body, std::string* answer) const {
  // Direct access: a proxy configured on the machine must never see the
  // control traffic.
  InternetHandle internet(
      ::InternetOpenW(L"VeltraTestControl", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  if (!internet) return false;
  InternetHandle connection(::InternetConnectW(internet.Get(), L"127.0.0.1", port_, nullptr,
                                               nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) return false;
  InternetHandle request(::HttpOpenRequestW(
      connection.Get(), verb.c_str(), path.c_str(), nullptr, nullptr, nullptr,
      INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE, 0));
  if (!request) return false;
  if (!::HttpSendRequestW(request.Get(), nullptr, 0, const_cast<char*>(body.data()),
                          static_cast<DWORD>(body.size()))) {
    return false;
  }
  DWORD status = 0;
  DWORD length = sizeof(status);
  if (!::HttpQueryInfoW(request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                        &length, nullptr)) {
    return false;
  }
  std::string text;
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    DWORD read = 0;
    if (!::InternetReadFile(request.Get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                            &read)) {
      return false;
    }
    if (read == 0) break;
    text.append(buffer.data(), read);
  }
  if (answer) *answer = std::move(text);
  return status == 200;
}

std::wstring EnvironmentValue(const wchar_t* name) {
  wchar_t buffer[1024];
  const DWORD length = ::GetEnvironmentVariableW(name, buffer, 1024);
  if (length == 0 || length >= 1024) return std::wstring();
  return std::wstring(buffer, length);
}
