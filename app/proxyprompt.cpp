#include "app/proxyprompt.h"

// clang-format off
#include <wininet.h>
#include <wincred.h>
// clang-format on

#include <memory>
#include <string>
#include <vector>

#include "base/scopedhandle.h"

namespace {

// One question, shared by the asking thread and the window's thread: the
// asker may have stopped waiting before the user answers.
struct Question {
  HINTERNET request = nullptr;
  std::shared_ptr<void> keep_alive;
  std::wstring proxy;
  bool refused = false;
  std::atomic<DWORD> result{ERROR_CANCELLED};
  UniqueHandle answered{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

void SetString(HINTERNET request, DWORD option, const wchar_t* value) {
  // String options take their length in characters, terminator included.
  ::InternetSetOptionW(request, option, const_cast<wchar_t*>(value),
                       static_cast<DWORD>(wcslen(value) + 1));
}

// On the window's thread: shows the system's credential dialog owned by
// `window`, puts what the user entered on the request and hands the answer
// back. Unlike WinINet's own dialog it can say why it asks again.
void AskOnWindowThread(HWND window, Question& question) {
  const std::wstring message =
      question.refused
          ? L"The proxy " + question.proxy +
                L" refused the last sign-in.\nPlease check the user name and password and "
                L"try again."
          : L"The proxy " + question.proxy +
                L" asks for a sign-in before the download can go on.\nPlease enter the user "
                L"name and password of your network.";
  CREDUI_INFOW info{};
  info.cbSize = sizeof info;
  info.hwndParent = window;
  info.pszMessageText = message.c_str();
  info.pszCaptionText = L"Proxy sign-in";
  std::vector<wchar_t> user(CREDUI_MAX_USERNAME_LENGTH + 1, L'\0');
  std::vector<wchar_t> password(CREDUI_MAX_PASSWORD_LENGTH + 1, L'\0');
  BOOL save = FALSE;
  DWORD flags = CREDUI_FLAGS_GENERIC_CREDENTIALS | CREDUI_FLAGS_DO_NOT_PERSIST |
                CREDUI_FLAGS_ALWAYS_SHOW_UI | CREDUI_FLAGS_EXCLUDE_CERTIFICATES;
  if (question.refused) flags |= CREDUI_FLAGS_INCORRECT_PASSWORD;
  DWORD result = ::CredUIPromptForCredentialsW(
      &info, question.proxy.c_str(), nullptr, question.refused ? ERROR_LOGON_FAILURE : 0,
      user.data(), static_cast<ULONG>(user.size()), password.data(),
      static_cast<ULONG>(password.size()), &save, flags);
  if (result == NO_ERROR) {
    // Wine's dialog puts the target's name in front of a user name without
    // a domain, generic credentials or not; Windows gives it as typed.
    std::wstring name = user.data();
    const std::wstring ours = question.proxy + L"\\";
    if (name.compare(0, ours.size(), ours) == 0) name.erase(0, ours.size());
    SetString(question.request, INTERNET_OPTION_PROXY_USERNAME, name.c_str());
    SetString(question.request, INTERNET_OPTION_PROXY_PASSWORD, password.data());
  } else {
    result = ERROR_CANCELLED;
  }
  ::SecureZeroMemory(password.data(), password.size() * sizeof(wchar_t));
  question.result.store(result, std::memory_order_relaxed);
  ::SetEvent(question.answered.Get());
}

}  // namespace

IProxyPrompt::Answer ProxyPrompt::AskProxySignIn(HINTERNET request,
                                                 const std::shared_ptr<void>& keep_alive,
                                                 const std::wstring& proxy, bool refused,
                                                 const StopToken& stop) {
  auto question = std::make_shared<Question>();
  question->request = request;
  question->keep_alive = keep_alive;
  question->proxy = proxy;
  question->refused = refused;
  if (!question->answered) return Answer::kCancelled;
  // The event holds a reference of its own, dropped on the window's thread.
  events_.Post([question, &events = events_] { AskOnWindowThread(events.Window(), *question); });
  if (stop.WaitFor(question->answered.Get(), INFINITE) != FlagEvent::Wake::kWork) {
    return Answer::kStopped;
  }
  return question->result.load(std::memory_order_relaxed) == NO_ERROR ? Answer::kSignedIn
                                                                      : Answer::kCancelled;
}
