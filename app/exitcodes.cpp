#include "app/exitcodes.h"

int ExitCodeFor(RunEnd end) {
  switch (end) {
    case RunEnd::kRunning:
      return kExitCancelled;
    case RunEnd::kSetupStarted:
    case RunEnd::kLayoutReady:
      return kExitSuccess;
    case RunEnd::kHostRefused:
      return kExitHostRefused;
    case RunEnd::kNetwork:
      return kExitNetwork;
    case RunEnd::kNotSaved:
      return kExitNotSaved;
    case RunEnd::kWebPages:
      return kExitWebPage;
    case RunEnd::kProxySignIn:
      return kExitProxySignIn;
    case RunEnd::kReleaseGone:
      return kExitReleaseWithdrawn;
    case RunEnd::kSetupRefused:
      return kExitSetupRefused;
    case RunEnd::kSetupNotStarted:
      return kExitSetupNotStarted;
    case RunEnd::kFailed:
      break;
  }
  return kExitFatal;
}
