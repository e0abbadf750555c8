#pragma once

#include <string>

class DownloadManager;

// The manager's events for its owner (the dialog). The slot order is fixed.
class IDMListener {
 public:
  // The run is over and the owner should close.
  virtual void DownloadFinished(DownloadManager* manager) = 0;
  // A message the user must read; returns when it has been dismissed.
  virtual void ShowError(const std::wstring& text) = 0;
  // The run has ended without the setup and the user has been told why:
  // nothing more will be downloaded. A DownloadFinished may still follow.
  virtual void DownloadFailed(DownloadManager* manager) = 0;

 protected:
  ~IDMListener() = default;
};
