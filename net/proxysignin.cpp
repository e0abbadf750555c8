#include "net/proxysignin.h"

#include <vector>

#include "base/error.h"

namespace {

constexpr char kModule[] = "filedownload";

// INTERNET_PROXY_INFO as InternetQueryOptionW fills it, whatever UNICODE is.
struct ProxyInfoW {
  DWORD access_type;
  LPCWSTR proxy;
  LPCWSTR bypass;
};

// The proxy's name for messages.
std::wstring Named(const std::wstring& proxy) { return proxy.empty() ? L"(unknown)" : proxy; }

std::wstring QueryString(HINTERNET request, DWORD option) {
  std::vector<wchar_t> text(1024, L'\0');
  DWORD length = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  if (!::InternetQueryOptionW(request, option, text.data(), &length)) return std::wstring();
  text.back() = L'\0';
  return text.data();
}

void SetString(HINTERNET request, DWORD option, const std::wstring& value) {
  // String options take their length in characters, terminator included.
  ::InternetSetOptionW(request, option, const_cast<wchar_t*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
}

}  // namespace

std::wstring ProxySignIn::ProxyName(HINTERNET request) {
  std::vector<uint64_t> buffer(512);
  DWORD length = static_cast<DWORD>(buffer.size() * sizeof(uint64_t));
  if (!::InternetQueryOptionW(request, INTERNET_OPTION_PROXY, buffer.data(), &length)) {
    return std::wstring();
  }
  const auto* info = reinterpret_cast<const ProxyInfoW*>(buffer.data());
  if (info->access_type == INTERNET_OPEN_TYPE_DIRECT || info->proxy == nullptr) {
    return std::wstring();
  }
  return info->proxy;
}

ProxySignIn& ProxySignIn::Instance() {
  static ProxySignIn instance;
  return instance;
}

void ProxySignIn::SetPrompt(IProxyPrompt* prompt) {
  ScopedLock lock(lock_);
  prompt_ = prompt;
}

int ProxySignIn::Apply(HINTERNET request) const {
  ScopedLock lock(lock_);
  if (sign_ins_ > 0) {
    SetString(request, INTERNET_OPTION_PROXY_USERNAME, user_);
    SetString(request, INTERNET_OPTION_PROXY_PASSWORD, password_);
  }
  return sign_ins_;
}

bool ProxySignIn::Refused() const {
  ScopedLock lock(lock_);
  return refused_;
}

ProxySignIn::Outcome ProxySignIn::After407(HINTERNET request, int applied,
                                           const std::shared_ptr<void>& keep_alive,
                                           const StopToken& stop) {
  for (;;) {
    {
      ScopedLock lock(lock_);
      if (refused_ || prompt_ == nullptr) return Outcome::kRefused;
      // Another request signed in after this one was sent: its sign-in may
      // be the one the proxy wants.
      if (sign_ins_ != applied) return Outcome::kSignedIn;
      if (!asking_) {
        asking_ = true;
        ::ResetEvent(answered_.Get());
        break;
      }
    }
    if (stop.WaitFor(answered_.Get(), INFINITE) != FlagEvent::Wake::kWork) return Outcome::kStopped;
  }
  // The request carried the latest sign-in and the proxy still wants one.
  return Ask(request, keep_alive, applied > 0, stop);
}

ProxySignIn::Outcome ProxySignIn::Ask(HINTERNET request, const std::shared_ptr<void>& keep_alive,
                                      bool refused, const StopToken& stop) {
  const std::wstring proxy = Named(ProxyName(request));
  Error::LogMessage(L"ProxySignIn: the proxy " + proxy +
                        (refused ? L" refused the sign-in (407 Proxy Authentication Required); "
                                   L"asking the user again"
                                 : L" asks for a sign-in (407 Proxy Authentication Required); "
                                   L"asking the user"),
                    kModule, __LINE__);
  IProxyPrompt* prompt = nullptr;
  {
    ScopedLock lock(lock_);
    prompt = prompt_;
  }
  // Not under the lock: the answer waits for the user.
  const IProxyPrompt::Answer answer =
      prompt != nullptr ? prompt->AskProxySignIn(request, keep_alive, proxy, refused, stop)
                        : IProxyPrompt::Answer::kCancelled;
  Outcome outcome = Outcome::kStopped;
  std::wstring user, password;
  if (answer == IProxyPrompt::Answer::kCancelled) {
    Error::RecordError(L"ProxySignIn: the proxy " + proxy +
                           L" asks for a sign-in (407 Proxy Authentication Required) and the user "
                           L"cancelled it: nothing can be downloaded through it",
                       static_cast<uint32_t>(ERROR_CANCELLED), kModule, __LINE__);
    outcome = Outcome::kRefused;
  } else if (answer == IProxyPrompt::Answer::kSignedIn) {
    Error::LogMessage(L"ProxySignIn: signing in to the proxy " + proxy, kModule, __LINE__);
    outcome = Outcome::kSignedIn;
    // The dialog left them on the request's options.
    user = QueryString(request, INTERNET_OPTION_PROXY_USERNAME);
    password = QueryString(request, INTERNET_OPTION_PROXY_PASSWORD);
  }
  ScopedLock lock(lock_);
  if (outcome == Outcome::kRefused) refused_ = true;
  if (outcome == Outcome::kSignedIn) {
    user_ = user;
    password_ = password;
    sign_ins_++;
  }
  asking_ = false;
  ::SetEvent(answered_.Get());
  return outcome;
}
