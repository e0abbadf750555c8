#include "net/formconnection.h"

#include "base/error.h"
#include "base/stringutils.h"
#include "net/proxysignin.h"

namespace {

constexpr char kModule[] = "fileupload";
constexpr DWORD kNoCacheFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;

}  // namespace

void FormConnection::Disconnect() {
  if (opened_) {
    Error::LogMessage("Disconnecting " + StringUtils::ToNarrow(object_path_), kModule, __LINE__);
  }
  Connection::Disconnect();
}

bool FormConnection::Open(const std::wstring& agent, const std::wstring& host, int32_t port,
                          bool secure, int32_t verb_code, std::wstring& verb,
                          const std::wstring& object_path, bool allow_cache, HeaderMap& headers) {
  Disconnect();
  opened_ = true;
  object_path_ = object_path;
  Error::LogMessage(L"Opening connection for: " + object_path, kModule, __LINE__);
  if (!OpenInternet(agent, kModule)) {
    Disconnect();
    return false;
  }
  DWORD decoding = 1;
  if (::InternetSetOptionW(handles_->internet.Get(), INTERNET_OPTION_HTTP_DECODING, &decoding,
                           sizeof decoding)) {
    // Retries of the same upload append once more, as the service has
    // always received it.
    auto entry = headers.find(L"Accept-Encoding");
    if (entry == headers.end()) {
      headers[L"Accept-Encoding"] = L"gzip,deflate";
    } else {
      entry->second += L",gzip,deflate";
    }
  } else {
    Error::LogError("Setting INTERNET_OPTION_HTTP_DECODING failed", ::GetLastError(), kModule,
                    __LINE__);
  }

  const std::wstring host_and_port = host + L" " + std::to_wstring(port);
  Error::LogMessage(L"InternetConnect " + host_and_port, kModule, __LINE__);
  handles_->connection.Reset(::InternetConnectW(handles_->internet.Get(), host.c_str(),
                                                static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                                INTERNET_SERVICE_HTTP, 0, 0));
  if (!handles_->connection) {
    Error::LogError(L"Connection::OpenHttpConnection InternetConnect failed for " + host_and_port,
                    ::GetLastError(), kModule, __LINE__);
    Disconnect();
    return false;
  }

  static const wchar_t* const kVerbs[] = {L"GET", L"POST", L"PUT", L"DELETE"};
  if (verb_code >= 1 && verb_code <= 4) verb = kVerbs[verb_code - 1];
  DWORD flags = allow_cache ? 0 : kNoCacheFlags;
  if (secure) flags |= INTERNET_FLAG_SECURE;
  handles_->request.Reset(::HttpOpenRequestW(handles_->connection.Get(), verb.c_str(),
                                             object_path.c_str(), nullptr, nullptr, nullptr, flags,
                                             0));
  if (!handles_->request) {
    Error::LogError(L"Connection::HttpOpenRequest failed for: " + object_path, ::GetLastError(),
                    kModule, __LINE__);
    Disconnect();
    return false;
  }
  // Through a proxy the user signed in to for the download, the log goes
  // signed in too.
  applied_sign_ins_ = ProxySignIn::Instance().Apply(handles_->request.Get());
  SetTimeouts(handles_->request.Get(), kModule);
  return true;
}
