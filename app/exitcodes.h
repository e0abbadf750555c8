#pragma once

#include "download/runend.h"

// The process exit codes of a start with options, for deployment tools.
// Documented in docs/deployment.md and kept stable: never renumber one.
// Where Windows Installer has a code for the case, it is that code; the
// program's own lie from 2001 on. A quiet or passive run that started the
// setup ends with the setup's own exit code instead. A start without
// options ends with 0, as it always has.
enum ExitCode : int {
  kExitSuccess = 0,
  // The user closed the window before the run ended (ERROR_INSTALL_USEREXIT).
  kExitCancelled = 1602,
  // Anything not named below (ERROR_INSTALL_FAILURE).
  kExitFatal = 1603,
  // Another start of the same release is running (ERROR_INSTALL_ALREADY_RUNNING).
  kExitAlreadyRunning = 1618,
  // An unknown or malformed option (ERROR_INVALID_COMMAND_LINE).
  kExitBadCommandLine = 1639,
  // The download failed, by its kind.
  kExitHostRefused = 2001,
  kExitNetwork = 2002,
  kExitNotSaved = 2003,
  kExitWebPage = 2004,
  kExitProxySignIn = 2005,
  kExitReleaseWithdrawn = 2010,
  kExitSetupRefused = 2020,
  kExitSetupNotStarted = 2021,
};

// The code of a run that ended as `end`; kRunning is a run the user closed.
int ExitCodeFor(RunEnd end);
