#pragma once

#include <string>

#include "download/idmlistener.h"

class DownloadDialog;

// Stands between the manager and the dialog of a /passive run: the window
// shows the progress, but no box waits for a click and no page opens (the
// texts go to the log), and a run that failed closes the window by itself.
class PassiveListener : public IDMListener {
 public:
  explicit PassiveListener(DownloadDialog& dialog) : dialog_(dialog) {}

  void DownloadFinished(DownloadManager* manager) override;
  void ShowError(const std::wstring& text) override;
  void DownloadFailed(DownloadManager* manager) override;
  void OpenPage(const std::wstring& url) override;

 private:
  DownloadDialog& dialog_;
};
