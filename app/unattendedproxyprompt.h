#pragma once

#include "base/error.h"
#include "net/proxysignin.h"

// The proxy's sign-in where nobody may be asked (/quiet, /passive): the
// question is answered at once as a cancel, so that the run stops trying
// through that proxy and ends as one that needs a sign-in.
class UnattendedProxyPrompt : public IProxyPrompt {
 public:
  Answer AskProxySignIn(HINTERNET, const std::shared_ptr<void>&, const std::wstring& proxy, bool,
                        const StopToken&) override {
    Error::LogMessage(L"ProxySignIn: unattended, so nobody can be asked for the sign-in of the "
                      L"proxy " + proxy,
                      "downloadmanager", __LINE__);
    return Answer::kCancelled;
  }
};
