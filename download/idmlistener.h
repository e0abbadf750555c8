#pragma once

#include <string>

class DownloadManager;

// The manager's events for its owner (the dialog). The slot order is fixed.
// Each is posted to the window's thread and returns at once; the window
// handles them in the order they were sent, so a page opens, or the run is
// marked failed, only after the user has dismissed the error before it.
class IDMListener {
 public:
  // The run is over and the owner should close.
  virtual void DownloadFinished(DownloadManager* manager) = 0;
  // A message the user must read, in a box on the window's thread.
  virtual void ShowError(const std::wstring& text) = 0;
  // The run has ended without the setup and the user has been told why:
  // nothing more will be downloaded. A DownloadFinished may still follow.
  virtual void DownloadFailed(DownloadManager* manager) = 0;
  // A web page (the support centre) to open for the user.
  virtual void OpenPage(const std::wstring& url) = 0;

 protected:
  ~IDMListener() = default;
};
