#include "app/proxyprompt.h"

#include <wininet.h>

#include <memory>

#include "base/scopedhandle.h"

namespace {

// One question, shared by the asking thread and the window's thread: the
// asker may have stopped waiting before the user answers.
struct Question {
  HINTERNET request = nullptr;
  std::shared_ptr<void> keep_alive;
  std::atomic<DWORD> result{ERROR_CANCELLED};
  UniqueHandle answered{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

// On the window's thread: shows the dialog owned by `window` and hands the
// answer back.
void AskOnWindowThread(HWND window, Question& question) {
  const DWORD result =
      ::InternetErrorDlg(window, question.request, ERROR_INTERNET_INCORRECT_PASSWORD,
                         FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA |
                             FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS,
                         nullptr);
  question.result.store(result, std::memory_order_relaxed);
  ::SetEvent(question.answered.Get());
}

}  // namespace

IProxyPrompt::Answer ProxyPrompt::AskProxySignIn(HINTERNET request,
                                                 const std::shared_ptr<void>& keep_alive,
                                                 const StopToken& stop) {
  auto question = std::make_shared<Question>();
  question->request = request;
  question->keep_alive = keep_alive;
  if (!question->answered) return Answer::kCancelled;
  // The event holds a reference of its own, dropped on the window's thread.
  events_.Post([question, &events = events_] { AskOnWindowThread(events.Window(), *question); });
  if (stop.WaitFor(question->answered.Get(), INFINITE) != FlagEvent::Wake::kWork) {
    return Answer::kStopped;
  }
  // The dialog asks the caller to send the request again once it has put
  // the user name and password on the request.
  return question->result.load(std::memory_order_relaxed) == ERROR_INTERNET_FORCE_RETRY
             ? Answer::kSignedIn
             : Answer::kCancelled;
}
