#pragma once

#include <windows.h>
#include <wininet.h>

#include <memory>
#include <string>

#include "base/criticalsection.h"
#include "base/scopedhandle.h"
#include "base/stoptoken.h"

// Asks the user for the sign-in a proxy wants, in the system's own
// credential dialog; implemented by the window, whose thread shows it.
class IProxyPrompt {
 public:
  enum class Answer { kSignedIn, kCancelled, kStopped };
  // Shows the dialog for `request`, which `proxy` answered with 407, and
  // returns once the user has answered or the stop has come. `keep_alive`
  // keeps the request's handles open for as long as the dialog may use them.
  // `refused`: the proxy refused the sign-in the user gave last, which the
  // dialog says. kSignedIn: the user name and password are on the request's
  // options.
  virtual Answer AskProxySignIn(HINTERNET request, const std::shared_ptr<void>& keep_alive,
                                const std::wstring& proxy, bool refused, const StopToken& stop) = 0;

 protected:
  ~IProxyPrompt() = default;
};

// The sign-in of the system's proxy for every download of the process:
// WinINet takes the proxy from the system's settings for the whole
// process, so the user is asked once, not once per part, and what they
// entered goes with every later request. The user name and password are
// never logged.
class ProxySignIn {
 public:
  enum class Outcome { kSignedIn, kRefused, kStopped };

  static ProxySignIn& Instance();

  // The proxy a request goes through, as the system's settings name it;
  // empty when it goes direct (or the system does not say).
  static std::wstring ProxyName(HINTERNET request);

  // The window's prompt; null when there is nobody to ask.
  void SetPrompt(IProxyPrompt* prompt);

  // Puts the sign-in known so far on a request before it is sent; returns
  // the count of sign-ins given so far, for After407.
  int Apply(HINTERNET request) const;

  // After the proxy answered `request` (sent after Apply returned
  // `applied`) with 407. kSignedIn: send a fresh request, a sign-in is
  // known now (another request's, or the one the user just gave).
  // kRefused: the user cancelled (logged once, naming the proxy), or there
  // is nobody to ask. kStopped: the stop came while the user was asked.
  Outcome After407(HINTERNET request, int applied, const std::shared_ptr<void>& keep_alive,
                   const StopToken& stop);

  // The user cancelled the sign-in: no request can get through the proxy.
  bool Refused() const;

 private:
  ProxySignIn() = default;
  Outcome Ask(HINTERNET request, const std::shared_ptr<void>& keep_alive, bool refused,
              const StopToken& stop);

  mutable CriticalSection lock_;
  IProxyPrompt* prompt_ = nullptr;
  std::wstring user_;
  std::wstring password_;
  int sign_ins_ = 0;
  bool refused_ = false;
  // One request asks at a time; the others wait for its answer.
  bool asking_ = false;
  UniqueHandle answered_{::CreateEventW(nullptr, TRUE, TRUE, nullptr)};
};
