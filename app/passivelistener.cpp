#include "app/passivelistener.h"

#include "app/downloaddialog.h"
#include "base/error.h"

void PassiveListener::DownloadFinished(DownloadManager* manager) {
  dialog_.DownloadFinished(manager);
}

void PassiveListener::ShowError(const std::wstring& text) {
  Error::LogMessage(L"Not shown (passive): " + text, "downloadmanager", __LINE__);
}

void PassiveListener::DownloadFailed(DownloadManager* manager) {
  dialog_.DownloadFailed(manager);
  // Behind the failed notice in the window's queue: the close finds the
  // run failed, hides the window at once and sends the log behind it.
  ::PostMessageW(dialog_.Window(), WM_CLOSE, 0, 0);
}

void PassiveListener::OpenPage(const std::wstring& url) {
  Error::LogMessage(L"Not opened (passive): " + url, "downloadmanager", __LINE__);
}
