#pragma once

#include <string>

#include "download/downloadmanager.h"

// The values a build fixes for its release (config/buildconfig.h), handed
// by the entry to what runs without the dialog, which reads them itself.
struct ReleaseConfig {
  ReleaseDescriptor release;
  std::wstring default_host;
  std::wstring log_service_url;
  std::wstring support_url;
  std::wstring file_version;
  std::wstring setup_signers;

  // As the dialog's constructor does for its own manager.
  void ApplyTo(DownloadManager& manager, const std::wstring& release_name) const {
    manager.SetRelease(release);
    manager.SetSupportCenterUrl(support_url);
    manager.SetLogServiceUrl(log_service_url);
    manager.SetSetupSigners(setup_signers);
    manager.SetLogRelease(release_name, file_version);
  }
};
