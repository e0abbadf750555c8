#pragma once

#include <windows.h>

#include <string>

#include "base/scopedhandle.h"
#include "download/shell.h"

// The shell of a start with options: the setup is started with the
// arguments the command line gave and its process is kept, so that an
// unattended run can wait for it and end with its exit code; an unattended
// run opens no web page and no Explorer window (nobody is there to see
// them), and says so in the log.
class DeploymentShell : public IShell {
 public:
  DeploymentShell(std::wstring setup_arguments, bool unattended)
      : setup_arguments_(std::move(setup_arguments)), unattended_(unattended) {}

  // On the run's thread.
  intptr_t OpenFile(const std::wstring& file, const std::wstring& working_folder) override;
  intptr_t OpenUrl(const std::wstring& url) override;
  intptr_t Explore(const std::wstring& folder) override;

  // After the run has stopped: waits for the setup it started, if any.
  // False when none was started; `exit_code` is the setup's, whole.
  bool WaitForSetup(DWORD& exit_code);

 private:
  const std::wstring setup_arguments_;
  const bool unattended_;
  UniqueHandle setup_process_;
};
