#include "net/connection.h"

#include <memory>
#include <vector>

#include "base/error.h"
#include "base/errorcodes.h"
#include "base/criticalsection.h"
#include "base/scopedhandle.h"
#include "base/stringutils.h"
#include "net/redirect.h"

namespace {

constexpr char kDownloadModule[] = "filedownload";
constexpr char kFormModule[] = "fileupload";
constexpr wchar_t kDownloadAgent[] = L"Veltra Download Manager / 9.5";
constexpr wchar_t kUserAgentHeader[] = L"User-Agent: Veltra Download Manager / 9.5\r\n";
constexpr INTERNET_PORT kHttpsPort = 443;
constexpr DWORD kDownloadFlags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE |
                                 INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_AUTO_REDIRECT;
// Redirects followed within one opening, against a host that loops.
constexpr int kMaxRedirects = 5;
constexpr DWORD kFormNoCacheFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
constexpr DWORD kConnectTimeoutMs = 10000;
constexpr DWORD kTransferTimeoutMs = 120000;
constexpr DWORD kHeaderBufferSize = 0x80000;

// The outcome of one blocking call, shared between the caller and the
// thread that makes the call, so either may go first.
struct CallState {
  UniqueHandle done{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::function<BOOL(HINTERNET)> call;
  std::shared_ptr<void> keep_alive;  // the handles, while the call needs them
  HINTERNET request = nullptr;
  BOOL result = FALSE;
  DWORD error = 0;
};

void MakeCall(CallState& state) {
  ::SetLastError(0);
  state.result = state.call(state.request);
  state.error = state.result ? 0 : ::GetLastError();
  ::SetEvent(state.done.Get());
  // An abandoned call's handles close here, as soon as the call is over.
  state.keep_alive.reset();
}

}  // namespace

// One thread that makes a connection's blocking calls one after another, so
// that a caller can stop waiting for one. Kept until the next Disconnect (a
// thread per call costs more than a read under Wine); a runner whose call
// was abandoned ends after that call and is replaced.
class Connection::CallRunner {
 public:
  static std::shared_ptr<CallRunner> Create() {
    auto runner = std::make_shared<CallRunner>();
    if (!runner->wake_) return nullptr;
    auto* parameter = new std::shared_ptr<CallRunner>(runner);
    UniqueHandle thread(::CreateThread(nullptr, 0, Loop, parameter, 0, nullptr));
    if (!thread) {
      delete parameter;
      return nullptr;
    }
    return runner;
  }

  void Post(std::shared_ptr<CallState> state) {
    {
      ScopedLock lock(lock_);
      pending_ = std::move(state);
    }
    ::SetEvent(wake_.Get());
  }

  // The runner finishes what it is doing, then ends.
  void Retire() {
    retired_.store(true, std::memory_order_relaxed);
    ::SetEvent(wake_.Get());
  }

 private:
  static DWORD WINAPI Loop(void* parameter) {
    std::unique_ptr<std::shared_ptr<CallRunner>> owner(
        static_cast<std::shared_ptr<CallRunner>*>(parameter));
    CallRunner& runner = **owner;
    for (;;) {
      ::WaitForSingleObject(runner.wake_.Get(), INFINITE);
      std::shared_ptr<CallState> state;
      {
        ScopedLock lock(runner.lock_);
        state = std::move(runner.pending_);
      }
      if (state) MakeCall(*state);
      if (runner.retired_.load(std::memory_order_relaxed)) return 0;
    }
  }

  UniqueHandle wake_{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  CriticalSection lock_;
  std::shared_ptr<CallState> pending_;
  std::atomic<bool> retired_{false};
};

Connection::Handles::~Handles() {
  request.Reset();
  connection.Reset();
  internet.Reset();
}

Connection::~Connection() {
  handles_.reset();
  if (runner_) runner_->Retire();
}

void Connection::Disconnect() {
  if (form_profile_) {
    Error::LogMessage("Disconnecting " + StringUtils::ToNarrow(form_object_path_), kFormModule,
                      __LINE__);
  }
  handles_.reset();
  // The call thread lives for one attempt: a manager keeps every worker of
  // a release until it stops, and their idle threads would add up.
  if (runner_) {
    runner_->Retire();
    runner_.reset();
  }
}

void Connection::SetTimeouts(HINTERNET handle, const char* module) {
  struct Timeout {
    DWORD option;
    DWORD value;
    const char* failure;
  };
  const Timeout timeouts[] = {
      {INTERNET_OPTION_CONNECT_TIMEOUT, kConnectTimeoutMs,
       "Setting INTERNET_OPTION_CONNECT_TIMEOUT failed"},
      {INTERNET_OPTION_SEND_TIMEOUT, kTransferTimeoutMs,
       "Setting INTERNET_OPTION_SEND_TIMEOUT failed"},
      {INTERNET_OPTION_RECEIVE_TIMEOUT, kTransferTimeoutMs,
       "Setting INTERNET_OPTION_RECEIVE_TIMEOUT failed"},
  };
  for (const Timeout& timeout : timeouts) {
    DWORD value = timeout.value;
    if (!::InternetSetOptionW(handle, timeout.option, &value, sizeof value)) {
      Error::LogError(timeout.failure, ::GetLastError(), module, __LINE__);
    }
  }
}

bool Connection::OpenInternet(const std::wstring& agent, const char* module) {
  handles_ = std::make_shared<Handles>();
  handles_->internet.Reset(
      ::InternetOpenW(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!handles_->internet) {
    Error::LogError("InternetOpen failed", ::GetLastError(), module, __LINE__);
    return false;
  }
  SetTimeouts(handles_->internet.Get(), module);
  return true;
}

bool Connection::OpenHttpConnection(const std::wstring& host, const std::wstring& object_path,
                                    const std::wstring& object_suffix,
                                    const std::wstring& file_path, std::atomic<uint32_t>& status,
                                    const FlagEvent& running) {
  form_profile_ = false;
  Disconnect();
  Error::LogMessage(L"Opening connection: " + host, kDownloadModule, __LINE__);
  if (!OpenInternet(kDownloadAgent, kDownloadModule)) {
    Disconnect();
    return false;
  }
  handles_->connection.Reset(::InternetConnectW(handles_->internet.Get(), host.c_str(), kHttpsPort,
                                                nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!handles_->connection) {
    Error::LogError("Connection::OpenHttpConnection InternetConnect failed", ::GetLastError(),
                    kDownloadModule, __LINE__);
    Disconnect();
    return false;
  }
  // Messages name the path only: the query holds the access signature.
  std::wstring object = object_path + object_suffix;
  std::wstring logged_path = object_path;
  DWORD status_code = 0;
  std::wstring headers;
  for (int redirects = 0;; ++redirects) {
    if (!SendDownloadRequest(host, object, logged_path, running) ||
        !QueryDownloadAnswer(file_path, status_code, headers)) {
      Disconnect();
      return false;
    }
    if (!Redirect::IsRedirectStatus(status_code)) {
      if (status_code != HTTP_STATUS_OK) break;
      return true;
    }
    // WinINet follows no redirect by itself (INTERNET_FLAG_NO_AUTO_REDIRECT):
    // one that left HTTPS or the host would carry the signature along.
    const std::wstring location = QueryHeader(HTTP_QUERY_LOCATION);
    std::wstring next;
    if (redirects < kMaxRedirects && Redirect::SameHostTarget(location, host, object, next)) {
      logged_path = next.substr(0, next.find(L'?'));
      Error::LogMessage(L"Following redirect to: " + host + L"/ " + logged_path, kDownloadModule,
                        __LINE__);
      object = next;
      continue;
    }
    Error::RecordError(L"Connection::OpenHttpConnection refused a redirect of " + host + L"/ " +
                           logged_path + L" to " + Redirect::WithoutQueries(location),
                       static_cast<uint32_t>(DL_MANAGER_HTTP_STATUS_NOT_OK), kDownloadModule,
                       __LINE__);
    break;
  }
  status.store(status_code, std::memory_order_relaxed);
  if (!headers.empty()) {
    Error::RecordError(L"Response status not 200, but " + std::to_wstring(status_code) +
                           L" Response headers: " + headers,
                       static_cast<uint32_t>(DL_MANAGER_HTTP_STATUS_NOT_OK), kDownloadModule,
                       __LINE__);
  }
  Disconnect();
  return false;
}

bool Connection::SendDownloadRequest(const std::wstring& host, const std::wstring& object,
                                     const std::wstring& logged_path, const FlagEvent& running) {
  handles_->request.Reset(::HttpOpenRequestW(handles_->connection.Get(), L"GET", object.c_str(),
                                             nullptr, nullptr, nullptr, kDownloadFlags, 0));
  if (!handles_->request) {
    Error::LogError(L"Connection::HttpOpenRequest failed for: " + host + L"/ " + logged_path,
                    ::GetLastError(), kDownloadModule, __LINE__);
    return false;
  }
  // Wine applies the session's timeouts to the connect only; without them on
  // the request too, a host that stalls in the middle of a body would hold
  // the read forever.
  SetTimeouts(handles_->request.Get(), kDownloadModule);

  DWORD error = 0;
  const bool sent = Call(
      [](HINTERNET request) {
        return ::HttpSendRequestW(request, kUserAgentHeader,
                                  static_cast<DWORD>(wcslen(kUserAgentHeader)), nullptr, 0);
      },
      running, error);
  if (!sent) {
    Error::LogError(L"Connection::HttpSendRequest failed for: " + host + L"/ " + logged_path, error,
                    kDownloadModule, __LINE__);
    return false;
  }
  return true;
}

bool Connection::QueryDownloadAnswer(const std::wstring& file_path, DWORD& status_code,
                                     std::wstring& headers) {
  DWORD length = sizeof status_code;
  if (!::HttpQueryInfoW(handles_->request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                        &status_code, &length, nullptr)) {
    Error::LogError(L"Connection::HttpQueryInfo failed for: " + file_path, ::GetLastError(),
                    kDownloadModule, __LINE__);
    return false;
  }
  std::vector<wchar_t> header_buffer(kHeaderBufferSize / sizeof(wchar_t), L'\0');
  length = kHeaderBufferSize;
  if (!::HttpQueryInfoW(handles_->request.Get(), HTTP_QUERY_RAW_HEADERS_CRLF, header_buffer.data(),
                        &length, nullptr)) {
    Error::LogError(L"Connection::HttpQueryInfo failed for: " + file_path, ::GetLastError(),
                    kDownloadModule, __LINE__);
    return false;
  }
  // A redirect's Location may repeat the signature.
  headers = Redirect::WithoutQueries(std::wstring(header_buffer.data(), length / sizeof(wchar_t)));
  if (!headers.empty()) {
    Error::LogMessage(L"Response headers: " + headers, kDownloadModule, __LINE__);
  }
  return true;
}

std::wstring Connection::QueryHeader(DWORD query) const {
  std::vector<wchar_t> buffer(kHeaderBufferSize / sizeof(wchar_t), L'\0');
  DWORD length = kHeaderBufferSize;
  if (!::HttpQueryInfoW(handles_->request.Get(), query, buffer.data(), &length, nullptr)) return {};
  return std::wstring(buffer.data(), length / sizeof(wchar_t));
}

bool Connection::OpenHttpConnection(const std::wstring& agent, const std::wstring& host,
                                    int32_t port, bool secure, int32_t verb_code,
                                    std::wstring& verb, const std::wstring& object_path,
                                    bool allow_cache, HeaderMap& headers) {
  Disconnect();
  form_profile_ = true;
  form_object_path_ = object_path;
  Error::LogMessage(L"Opening connection for: " + object_path, kFormModule, __LINE__);
  if (!OpenInternet(agent, kFormModule)) {
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
    Error::LogError("Setting INTERNET_OPTION_HTTP_DECODING failed", ::GetLastError(), kFormModule,
                    __LINE__);
  }

  const std::wstring host_and_port = host + L" " + std::to_wstring(port);
  Error::LogMessage(L"InternetConnect " + host_and_port, kFormModule, __LINE__);
  handles_->connection.Reset(::InternetConnectW(handles_->internet.Get(), host.c_str(),
                                                static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                                INTERNET_SERVICE_HTTP, 0, 0));
  if (!handles_->connection) {
    Error::LogError(L"Connection::OpenHttpConnection InternetConnect failed for " + host_and_port,
                    ::GetLastError(), kFormModule, __LINE__);
    Disconnect();
    return false;
  }

  static const wchar_t* const kVerbs[] = {L"GET", L"POST", L"PUT", L"DELETE"};
  if (verb_code >= 1 && verb_code <= 4) verb = kVerbs[verb_code - 1];
  DWORD flags = allow_cache ? 0 : kFormNoCacheFlags;
  if (secure) flags |= INTERNET_FLAG_SECURE;
  handles_->request.Reset(::HttpOpenRequestW(handles_->connection.Get(), verb.c_str(),
                                             object_path.c_str(), nullptr, nullptr, nullptr, flags,
                                             0));
  if (!handles_->request) {
    Error::LogError(L"Connection::HttpOpenRequest failed for: " + object_path, ::GetLastError(),
                    kFormModule, __LINE__);
    Disconnect();
    return false;
  }
  SetTimeouts(handles_->request.Get(), kFormModule);
  return true;
}

bool Connection::Call(const std::function<BOOL(HINTERNET request)>& call,
                      const FlagEvent& running, DWORD& error) {
  if (!IsOpen()) {
    error = ERROR_INVALID_HANDLE;
    return false;
  }
  auto state = std::make_shared<CallState>();
  state->call = call;
  state->request = handles_->request.Get();
  state->keep_alive = handles_;
  if (!runner_) runner_ = CallRunner::Create();
  if (!state->done || !runner_) {
    // No event or thread to spare: make the call here and wait for it.
    MakeCall(*state);
    error = state->error;
    return state->result != FALSE;
  }
  runner_->Post(state);
  if (running.WaitFor(state->done.Get(), INFINITE) != FlagEvent::Wake::kWork) {
    // WinINet under Wine does not wake a call blocked on the peer when its
    // handle is closed, so the call is left to finish on its own; it holds
    // the handles and closes them when it returns.
    handles_.reset();
    runner_->Retire();
    runner_.reset();
    error = ERROR_INTERNET_OPERATION_CANCELLED;
    return false;
  }
  error = state->error;
  return state->result != FALSE;
}

bool Connection::Read(const std::shared_ptr<std::vector<uint8_t>>& buffer, DWORD& read,
                      const FlagEvent& running, DWORD& error) {
  read = 0;
  auto count = std::make_shared<DWORD>(0);
  const bool ok = Call(
      [buffer, count](HINTERNET request) {
        return ::InternetReadFile(request, buffer->data(), static_cast<DWORD>(buffer->size()),
                                  count.get());
      },
      running, error);
  if (ok) read = *count;
  return ok;
}
