#pragma once

#include <windows.h>

#include "app/windowevents.h"
#include "net/proxysignin.h"

// Asks for a proxy's sign-in on the window's thread, in the system's
// credential dialog: the asking thread posts the question as a window event
// and waits for the answer together with its stop.
class ProxyPrompt : public IProxyPrompt {
 public:
  explicit ProxyPrompt(WindowEvents& events) : events_(events) {}

  Answer AskProxySignIn(HINTERNET request, const std::shared_ptr<void>& keep_alive,
                        const std::wstring& proxy, bool refused, const StopToken& stop) override;

 private:
  WindowEvents& events_;
};
