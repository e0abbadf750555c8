#include "net/downloadconnection.h"

#include <algorithm>

#include "base/error.h"
#include "base/errorcodes.h"
#include "base/httpstatus.h"
#include "base/urlpath.h"
#include "net/proxysignin.h"
#include "net/redirect.h"

namespace {

constexpr char kModule[] = "filedownload";
constexpr wchar_t kAgent[] = L"Veltra Download Manager / 9.5";
constexpr wchar_t kUserAgentHeader[] = L"User-Agent: Veltra Download Manager / 9.5\r\n";
constexpr INTERNET_PORT kHttpsPort = 443;
constexpr DWORD kFlags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE |
                         INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_AUTO_REDIRECT;
// Redirects followed within one opening, against a host that loops.
constexpr int kMaxRedirects = 5;
// Fresh requests after a sign-in within one opening, against a proxy that
// takes none.
constexpr int kMaxSignIns = 3;

// What the call thread's body read and its caller share.
struct BodyRead {
  std::shared_ptr<ReceivedBody> body;
  // The stop is also what makes the caller stop waiting: the thread then
  // reads no further. No pause for the CRC info.
  std::shared_ptr<const RunStop> stop;
  std::shared_ptr<const RunPause> pause;
  DownloadConnection::BodyEnd end = DownloadConnection::BodyEnd::kFailed;
  DWORD error = 0;
};

// The size of the next read. WinINet under Wine fills a read's whole buffer
// before it returns, and each read costs its rounds of server calls: a fast
// host is read in fewer, larger reads, while a slow host is read in reads no
// larger than before, so that its progress and a pause are seen as often.
// Each worker holds a buffer of the largest size, so several in flight keep
// it small.
class ReadSize {
 public:
  size_t Next() const { return size_; }
  // After a read of Next() bytes that brought `count` in `ms`.
  void Took(size_t count, double ms) {
    if (count == size_ && ms < kQuickMs) {
      size_ = std::min(size_ * 2, kLargest);
    } else if (ms > kSlowMs) {
      size_ = kSmallest;
    }
  }

 private:
  static constexpr size_t kSmallest = 0x40000;
  static constexpr size_t kLargest = 0x80000;
  static constexpr double kQuickMs = 20;
  static constexpr double kSlowMs = 100;
  size_t size_ = kSmallest;
};

double NowMs() {
  LARGE_INTEGER counter, frequency;
  ::QueryPerformanceCounter(&counter);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

void ReadUntilEnd(HINTERNET request, BodyRead& read) {
  ReadSize size;
  for (;;) {
    if (read.stop->Requested()) {
      read.end = DownloadConnection::BodyEnd::kStopped;
      return;
    }
    if (read.pause && read.pause->IsPaused()) {
      read.end = DownloadConnection::BodyEnd::kPaused;
      return;
    }
    size_t room = 0;
    uint8_t* space = read.body->Space(size.Next(), room);
    if (room == 0) {
      // Cut one byte beyond what the sink takes: the rest is never read.
      read.end = DownloadConnection::BodyEnd::kComplete;
      return;
    }
    DWORD count = 0;
    ::SetLastError(0);
    const double started = NowMs();
    const BOOL ok = ::InternetReadFile(request, space, static_cast<DWORD>(room), &count);
    size.Took(count, NowMs() - started);
    if (!ok) {
      read.error = ::GetLastError();
      read.end = DownloadConnection::BodyEnd::kFailed;
      return;
    }
    if (!read.body->Commit(count)) {
      read.error = ::GetLastError();
      read.end = DownloadConnection::BodyEnd::kSinkFailed;
      return;
    }
    if (count == 0) {
      read.end = DownloadConnection::BodyEnd::kComplete;
      return;
    }
  }
}

}  // namespace

void DownloadConnection::AllowConnectionsPerServer(DWORD count) {
  for (const DWORD option :
       {INTERNET_OPTION_MAX_CONNS_PER_SERVER, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER}) {
    DWORD value = count;
    // Where the system keeps to its own limit, the workers still work,
    // only fewer of them at a time.
    ::InternetSetOptionW(nullptr, option, &value, sizeof value);
  }
}

bool DownloadConnection::Open(const std::wstring& host, const std::wstring& object_path,
                              const std::wstring& object_suffix, const std::wstring& logged_name,
                              std::atomic<uint32_t>& status, const StopToken& stop) {
  Disconnect();
  proxy_refusal_ = 0;
  Error::LogMessage(L"Opening connection: " + host, kModule, __LINE__);
  if (!OpenInternet(kAgent, kModule)) {
    Disconnect();
    return false;
  }
  handles_->connection.Reset(::InternetConnectW(handles_->internet.Get(), host.c_str(), kHttpsPort,
                                                nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!handles_->connection) {
    Error::LogError("Connection::OpenHttpConnection InternetConnect failed", ::GetLastError(),
                    kModule, __LINE__);
    Disconnect();
    return false;
  }
  // Messages name the path only: the query holds the access signature.
  std::wstring object = EscapePathSegments(object_path) + object_suffix;
  std::wstring logged_path = object_path;
  DWORD status_code = 0;
  std::wstring headers;
  int redirects = 0;
  int sign_ins = 0;
  for (;;) {
    int applied = 0;
    if (!SendRequest(host, object, logged_path, stop, applied) ||
        !QueryAnswer(logged_name, status_code, headers)) {
      Disconnect();
      return false;
    }
    if (status_code == kHttpProxyAuthenticationRequired && sign_ins < kMaxSignIns) {
      const ProxySignIn::Outcome outcome =
          ProxySignIn::Instance().After407(Request(), applied, handles_, stop);
      if (outcome == ProxySignIn::Outcome::kStopped) {
        Disconnect();
        return false;
      }
      if (outcome == ProxySignIn::Outcome::kSignedIn) {
        // WinINet under Wine sends a repeated request wrongly through the
        // proxy's tunnel: a fresh one goes instead.
        sign_ins++;
        continue;
      }
    }
    if (!Redirect::IsRedirectStatus(status_code)) {
      if (status_code != kHttpOk) break;
      content_type_ = QueryHeader(HTTP_QUERY_CONTENT_TYPE);
      return true;
    }
    // WinINet follows no redirect by itself (INTERNET_FLAG_NO_AUTO_REDIRECT):
    // one that left HTTPS or the host would carry the signature along.
    const std::wstring location = QueryHeader(HTTP_QUERY_LOCATION);
    std::wstring next;
    if (redirects++ < kMaxRedirects && Redirect::SameHostTarget(location, host, object, next)) {
      logged_path = next.substr(0, next.find(L'?'));
      Error::LogMessage(L"Following redirect to: " + host + L"/ " + logged_path, kModule, __LINE__);
      object = next;
      continue;
    }
    Error::RecordError(L"Connection::OpenHttpConnection refused a redirect of " + host + L"/ " +
                           logged_path + L" to " + Redirect::WithoutQueries(location),
                       static_cast<uint32_t>(DL_MANAGER_HTTP_STATUS_NOT_OK), kModule, __LINE__);
    break;
  }
  status.store(status_code, std::memory_order_relaxed);
  if ((status_code == kHttpForbidden || status_code == kHttpProxyAuthenticationRequired) &&
      AnswerFromProxy()) {
    proxy_refusal_ = status_code;
    Error::RecordError(
        L"Connection::OpenHttpConnection the proxy " + ProxyName() +
            L" refused the connection to " + host + L" with " + std::to_wstring(status_code) +
            L" " + QueryHeader(HTTP_QUERY_STATUS_TEXT) + L" Proxy's response headers: " + headers,
        static_cast<uint32_t>(DL_MANAGER_HTTP_STATUS_NOT_OK), kModule, __LINE__);
  } else if (!headers.empty()) {
    Error::RecordError(L"Response status not 200, but " + std::to_wstring(status_code) +
                           L" Response headers: " + headers,
                       static_cast<uint32_t>(DL_MANAGER_HTTP_STATUS_NOT_OK), kModule, __LINE__);
  }
  Disconnect();
  return false;
}

bool DownloadConnection::SendRequest(const std::wstring& host, const std::wstring& object,
                                     const std::wstring& logged_path, const StopToken& stop,
                                     int& applied_sign_ins) {
  handles_->request.Reset(::HttpOpenRequestW(handles_->connection.Get(), L"GET", object.c_str(),
                                             nullptr, nullptr, nullptr, kFlags, 0));
  if (!handles_->request) {
    Error::LogError(L"Connection::HttpOpenRequest failed for: " + host + L"/ " + logged_path,
                    ::GetLastError(), kModule, __LINE__);
    return false;
  }
  // Wine applies the session's timeouts to the connect only; without them on
  // the request too, a host that stalls in the middle of a body would hold
  // the read forever.
  SetTimeouts(handles_->request.Get(), kModule);
  applied_sign_ins = ProxySignIn::Instance().Apply(handles_->request.Get());

  DWORD error = 0;
  const bool sent = Call(
      [](HINTERNET request) {
        return ::HttpSendRequestW(request, kUserAgentHeader,
                                  static_cast<DWORD>(wcslen(kUserAgentHeader)), nullptr, 0);
      },
      stop, error);
  if (!sent) {
    if (error == ERROR_INTERNET_OPERATION_CANCELLED && stop.StopRequested()) {
      // The user's close or stop, not a failure of the host.
      Error::LogMessage(
          L"Download: " + host + L"/ " + logged_path + L" stopped while the request was being sent",
          kModule, __LINE__);
    } else {
      Error::LogError(L"Connection::HttpSendRequest failed for: " + host + L"/ " + logged_path,
                      error, kModule, __LINE__);
    }
    return false;
  }
  return true;
}

bool DownloadConnection::QueryAnswer(const std::wstring& logged_name, DWORD& status_code,
                                     std::wstring& headers) {
  DWORD length = sizeof status_code;
  if (!::HttpQueryInfoW(handles_->request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                        &status_code, &length, nullptr)) {
    Error::LogError(L"Connection::HttpQueryInfo failed for: " + logged_name, ::GetLastError(),
                    kModule, __LINE__);
    return false;
  }
  std::wstring raw;
  if (!QueryText(HTTP_QUERY_RAW_HEADERS_CRLF, raw)) {
    Error::LogError(L"Connection::HttpQueryInfo failed for: " + logged_name, ::GetLastError(),
                    kModule, __LINE__);
    return false;
  }
  // A redirect's Location may repeat the signature.
  headers = Redirect::WithoutQueries(raw);
  if (!headers.empty()) {
    Error::LogMessage(L"Response headers: " + headers, kModule, __LINE__);
  }
  return true;
}

DownloadConnection::BodyEnd DownloadConnection::ReadBody(
    const std::shared_ptr<ReceivedBody>& body, const std::shared_ptr<const RunStop>& stop,
    const std::shared_ptr<const RunPause>& pause, const std::function<void()>& on_progress,
    DWORD& error) {
  error = 0;
  if (!IsOpen()) {
    error = ERROR_INVALID_HANDLE;
    return BodyEnd::kFailed;
  }
  auto read = std::make_shared<BodyRead>();
  read->body = body;
  read->stop = stop;
  read->pause = pause;
  std::shared_ptr<Handles> handles = handles_;
  auto read_body = [read, handles]() { ReadUntilEnd(handles->request.Get(), *read); };
  BlockedCallThread* thread = CallThread();
  if (!thread) {
    // No thread to spare: read here, unstoppable while the host stalls.
    read_body();
  } else if (thread->Run(read_body, stop->Token(), body->ProgressEvent(), on_progress) ==
             BlockedCallThread::Outcome::kStopped) {
    Abandon();
    error = ERROR_INTERNET_OPERATION_CANCELLED;
    return BodyEnd::kStopped;
  }
  error = read->error;
  return read->end;
}
