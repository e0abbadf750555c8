#include "app/deploymentshell.h"

#include <shellapi.h>

#include "base/error.h"
#include "download/comapartment.h"

namespace {

const char kModule[] = "downloadmanager";

}  // namespace

intptr_t DeploymentShell::OpenFile(const std::wstring& file, const std::wstring& working_folder) {
  ComApartment com;
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  // The process is kept for the wait; nothing of the start runs on after
  // the call; an unattended start shows no box of the system's.
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | (unattended_ ? SEE_MASK_FLAG_NO_UI : 0);
  info.lpVerb = L"open";
  info.lpFile = file.c_str();
  info.lpParameters = setup_arguments_.c_str();
  info.lpDirectory = working_folder.c_str();
  info.nShow = SW_SHOW;
  if (::ShellExecuteExW(&info)) {
    setup_process_.Reset(info.hProcess);
    if (!setup_arguments_.empty()) {
      Error::LogMessage(L"DownloadManager: setup started with the arguments " + setup_arguments_,
                        kModule, __LINE__);
    }
    return kShellErrorMax + 1;
  }
  const auto result = reinterpret_cast<intptr_t>(info.hInstApp);
  if (result > 0 && result <= kShellErrorMax) return result;
  return SE_ERR_ACCESSDENIED;
}

intptr_t DeploymentShell::OpenUrl(const std::wstring& url) {
  if (!unattended_) return SystemShell::Instance().OpenUrl(url);
  Error::LogMessage(L"DownloadManager: unattended, so the page is not opened: " + url, kModule,
                    __LINE__);
  return kShellErrorMax + 1;
}

intptr_t DeploymentShell::Explore(const std::wstring& folder) {
  if (!unattended_) return SystemShell::Instance().Explore(folder);
  return kShellErrorMax + 1;
}

bool DeploymentShell::WaitForSetup(DWORD& exit_code) {
  if (!setup_process_) return false;
  ::WaitForSingleObject(setup_process_.Get(), INFINITE);
  if (!::GetExitCodeProcess(setup_process_.Get(), &exit_code)) return false;
  Error::LogMessage(
      L"DownloadManager: the setup ended with exit code " + std::to_wstring(exit_code), kModule,
      __LINE__);
  return true;
}
