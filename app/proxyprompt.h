#pragma once

#include <windows.h>

#include <atomic>

#include "net/proxysignin.h"

// Asks for a proxy's sign-in on the window's thread, in WinINet's own
// credential dialog: the asking thread posts the question to the window and
// waits for the answer together with its stop.
class ProxyPrompt : public IProxyPrompt {
 public:
  static constexpr UINT kMessage = WM_APP + 1;

  // The window whose thread shows the dialog; before any question.
  void SetWindow(HWND window) { window_.store(window, std::memory_order_relaxed); }

  Answer AskProxySignIn(HINTERNET request, const std::shared_ptr<void>& keep_alive,
                        const StopToken& stop) override;

  // On the window's thread, for kMessage: shows the dialog owned by
  // `window` and hands the answer back.
  static void AnswerQuestion(HWND window, LPARAM question);

 private:
  std::atomic<HWND> window_{nullptr};
};
