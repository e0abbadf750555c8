#pragma once

#include <windows.h>

#include <string>

#include "app/deploymentshell.h"
#include "app/releaseconfig.h"
#include "base/scopedhandle.h"
#include "download/downloadmanager.h"
#include "download/idmlistener.h"

// A run nobody watches (/quiet): no window at any moment, no box, no web
// page. It downloads, verifies and starts the setup like the dialog's run,
// and its owner learns how it ended from the manager (exit codes).
class QuietRun : public IDMListener {
 public:
  QuietRun(const ReleaseConfig& config, DeploymentShell& shell);
  QuietRun(const QuietRun&) = delete;
  QuietRun& operator=(const QuietRun&) = delete;

  DownloadManager& Manager() { return manager_; }

  // Runs the download to its end, stops it and posts the log; returns how
  // it ended.
  RunEnd Run(const std::wstring& release_name, const std::wstring& download_folder,
             const std::wstring& program_folder, const std::wstring& crc_info_name);

  // IDMListener, on the manager's threads. What would have been shown goes
  // to the log, for whoever reads it.
  void DownloadFinished(DownloadManager* manager) override;
  void ShowError(const std::wstring& text) override;
  void DownloadFailed(DownloadManager* manager) override;
  void OpenPage(const std::wstring& url) override;

 private:
  const ReleaseConfig& config_;
  // Set once the run has ended, one way or the other.
  UniqueHandle ended_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  DownloadManager manager_{this};
};
