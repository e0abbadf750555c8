#include "app/quietrun.h"

#include "base/error.h"

QuietRun::QuietRun(const ReleaseConfig& config, DeploymentShell& shell) : config_(config) {
  manager_.SetShell(&shell);
}

RunEnd QuietRun::Run(const std::wstring& release_name, const std::wstring& download_folder,
                     const std::wstring& program_folder, const std::wstring& crc_info_name) {
  config_.ApplyTo(manager_, release_name);
  manager_.StartDownload(config_.default_host, L"", crc_info_name, download_folder, program_folder);
  // The run's thread may also end without an event (a stop of its own):
  // its end clears the running flag, which the wait includes.
  manager_.Token().WaitFor(ended_.Get(), INFINITE);
  manager_.StopDownload();
  manager_.PostLogFile();
  return manager_.Ending();
}

void QuietRun::DownloadFinished(DownloadManager*) { ::SetEvent(ended_.Get()); }

void QuietRun::ShowError(const std::wstring& text) {
  Error::LogMessage(L"Not shown (unattended): " + text, "downloadmanager", __LINE__);
}

void QuietRun::DownloadFailed(DownloadManager*) { ::SetEvent(ended_.Get()); }

void QuietRun::OpenPage(const std::wstring& url) {
  Error::LogMessage(L"Not opened (unattended): " + url, "downloadmanager", __LINE__);
}
