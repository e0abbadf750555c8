#pragma once

#include <nlohmann/json.hpp>

// How a download run ended, for an owner that reports it (an unattended
// install's exit code). Set once, by the step that ends the run.
enum class RunEnd {
  // Not ended yet: a close now is the user's.
  kRunning,
  kSetupStarted,
  // A layout was made: every file verified, the CRC info beside them.
  kLayoutReady,
  // The download failed, by what stopped it.
  kHostRefused,
  kNetwork,
  kNotSaved,
  kWebPages,
  kProxySignIn,
  kReleaseGone,
  // The setup's signature is not the maker's: not started.
  kSetupRefused,
  // The setup is missing, or the system would not start it.
  kSetupNotStarted,
  // Anything else: a malfunction, a release that cannot be installed.
  kFailed,
};

// A run that gave up after its attempts: what its log says stopped it. The
// last record with a number that names a cause wins (an HTTP status other
// than 200, a network error of WinINet, a full disk, a damaged part);
// kFailed when none does.
RunEnd ClassifyGiveUp(const nlohmann::json& log, bool proxy_refused);
