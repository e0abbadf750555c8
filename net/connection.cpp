#include "net/connection.h"

#include <memory>
#include <vector>

#include "base/error.h"
#include "net/proxysignin.h"

namespace {

constexpr DWORD kConnectTimeoutMs = 10000;
constexpr DWORD kTransferTimeoutMs = 120000;
constexpr DWORD kHeaderBufferSize = 0x80000;

// The outcome of one blocking call, shared between the caller and the
// call thread, so either may go first.
struct CallResult {
  BOOL result = FALSE;
  DWORD error = 0;
};

}  // namespace

Connection::Handles::~Handles() {
  request.Reset();
  connection.Reset();
  internet.Reset();
}

Connection::~Connection() {
  handles_.reset();
  ReleaseCallThread();
}

void Connection::Disconnect() { handles_.reset(); }

void Connection::ReleaseCallThread() { BlockedCallThread::Release(std::move(call_thread_)); }

BlockedCallThread* Connection::CallThread() {
  if (!call_thread_) call_thread_ = BlockedCallThread::Acquire();
  return call_thread_.get();
}

void Connection::Abandon() {
  // WinINet under Wine does not wake a call blocked on the peer when its
  // handle is closed, so the call is left to finish on its own; it holds
  // the handles and closes them when it returns. Its thread has retired.
  handles_.reset();
  call_thread_.reset();
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

bool Connection::QueryText(DWORD query, std::wstring& text) const {
  text.clear();
  // Sized by asking first: a buffer of the largest size allowed for every
  // answer would add to a worker's peak memory.
  DWORD length = 0;
  if (::HttpQueryInfoW(handles_->request.Get(), query, nullptr, &length, nullptr)) return true;
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
  if (length > kHeaderBufferSize) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  std::vector<wchar_t> buffer(length / sizeof(wchar_t) + 1, L'\0');
  length = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  if (!::HttpQueryInfoW(handles_->request.Get(), query, buffer.data(), &length, nullptr)) {
    return false;
  }
  text.assign(buffer.data(), length / sizeof(wchar_t));
  return true;
}

std::wstring Connection::QueryHeader(DWORD query) const {
  std::wstring text;
  return QueryText(query, text) ? text : std::wstring();
}

bool Connection::Call(const std::function<BOOL(HINTERNET request)>& call, const StopToken& stop,
                      DWORD& error) {
  if (!IsOpen()) {
    error = ERROR_INVALID_HANDLE;
    return false;
  }
  auto outcome = std::make_shared<CallResult>();
  std::shared_ptr<Handles> handles = handles_;
  auto make_call = [call, outcome, handles]() {
    ::SetLastError(0);
    outcome->result = call(handles->request.Get());
    outcome->error = outcome->result ? 0 : ::GetLastError();
  };
  BlockedCallThread* thread = CallThread();
  if (!thread) {
    // No thread to spare: make the call here and wait for it.
    make_call();
  } else if (thread->Run(make_call, stop) == BlockedCallThread::Outcome::kStopped) {
    Abandon();
    error = ERROR_INTERNET_OPERATION_CANCELLED;
    return false;
  }
  error = outcome->error;
  return outcome->result != FALSE;
}

bool Connection::Read(const std::shared_ptr<std::vector<uint8_t>>& buffer, DWORD& read,
                      const StopToken& stop, DWORD& error) {
  read = 0;
  auto count = std::make_shared<DWORD>(0);
  const bool ok = Call(
      [buffer, count](HINTERNET request) {
        return ::InternetReadFile(request, buffer->data(), static_cast<DWORD>(buffer->size()),
                                  count.get());
      },
      stop, error);
  if (ok) read = *count;
  return ok;
}

std::wstring Connection::ProxyName() const {
  if (!handles_) return std::wstring();
  // Windows names the proxy on the session's handle; Wine on either.
  const std::wstring name = ProxySignIn::ProxyName(handles_->internet.Get());
  return name.empty() ? ProxySignIn::ProxyName(Request()) : name;
}

bool Connection::AnswerFromProxy() const {
  // Through a proxy, an HTTPS answer of the host arrives inside the TLS
  // session with it; an answer before that session (to the tunnel's
  // CONNECT) can only be the proxy's own, whatever its headers say. (The
  // server certificate's option would say the same, but WinINet under Wine
  // faults on it before any TLS.)
  if (ProxyName().empty()) return false;
  DWORD flags = 0;
  DWORD length = sizeof flags;
  return ::InternetQueryOptionW(Request(), INTERNET_OPTION_SECURITY_FLAGS, &flags, &length) &&
         (flags & SECURITY_FLAG_SECURE) == 0;
}
