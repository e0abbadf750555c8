#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "app/dialogcontrols.h"
#include "app/dialoglayout.h"
#include "app/dialoglook.h"
#include "app/proxyprompt.h"
#include "app/tiprotation.h"
#include "app/windowevents.h"
#include "app/windowhandles.h"
#include "base/taskthread.h"
#include "download/downloadmanager.h"
#include "download/downloadspeed.h"
#include "download/idmlistener.h"

// The program's one window: a modeless dialog that owns the download
// manager and the speed meter, shows the progress read-out and the tips,
// lets the user pause and resume, shows the manager's error texts and runs
// the close sequence that stops everything and ends the message loop.
// The manager and the meter post their events (WindowEvents) and never
// wait for this window; only the window's thread touches it.
//
// Split by concern: set-up, messages and the close sequence here; the
// read-out in downloaddialog_progress.cpp; names and folders in
// downloaddialog_paths.cpp.
class DownloadDialog : public IDMListener, public ISpeedView {
 public:
  explicit DownloadDialog(HINSTANCE instance);
  virtual ~DownloadDialog();
  DownloadDialog(const DownloadDialog&) = delete;
  DownloadDialog& operator=(const DownloadDialog&) = delete;

  // Shows the window and starts the download.
  void Start();
  void StartDownload();
  void SetProgress(int percent);

  // ISpeedView, on the speed meter's thread: posts the read-out.
  void UpdateProgress(uint64_t speed, uint64_t total, uint64_t downloaded,
                      uint64_t elapsed) override;
  // The manager's state, so that the read-out shows what the transfer does.
  bool IsPaused() const override { return download_manager.IsPaused(); }

  // IDMListener, on the manager's threads: each posts its event.
  void DownloadFinished(DownloadManager* manager) override;
  void ShowError(const std::wstring& text) override;
  void DownloadFailed(DownloadManager* manager) override;
  void OpenPage(const std::wstring& url) override;

  void GetReleaseName(std::wstring& name) const;
  void GetProgramFolder(std::wstring& folder) const;
  void GetDownloadFolder(std::wstring& folder) const;
  void GetCrcInfoName(std::wstring& name) const;

  HWND Window() const { return window.Get(); }
  DownloadManager& Manager() { return download_manager; }

  static constexpr wchar_t kStoppingNotice[] = L"Stopping download. Please wait...";
  static constexpr wchar_t kFailedNotice[] =
      L"The download did not complete.\r\n\r\nYou can close this window. The next start of "
      L"the download manager continues where this one stopped.";

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  INT_PTR HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);
  void OnCommand(WPARAM wparam, LPARAM lparam);
  void PaintBackground();
  // Fonts, pictures and layout for the window's scale.
  void ScaleToMonitor();
  // The window moved to a monitor of another scale; `suggested` is where
  // the system would put it.
  void OnDpiChanged(int dpi, const RECT& suggested);
  // The pause button's image and its name for screen readers.
  void ShowPauseState(bool paused);
  void BeginClose();
  void StopAndClose();
  // The events, on the window's thread.
  void ShowReadout(const Readout& readout);
  void ShowFailed();

  HINSTANCE instance;
  // Declared first so that they go last: the window (and the fonts its
  // controls use) outlive everything that may still touch them.
  DialogLook look;
  UniqueWindow window;
  DialogLayout layout;
  HCURSOR saved_cursor = nullptr;
  // Before the threads that post to it, so that it outlives them.
  WindowEvents events;
  TipRotation tips;
  DownloadManager download_manager;
  DownloadSpeed download_speed;
  // Shows a proxy's sign-in dialog for the download's threads.
  ProxyPrompt proxy_prompt{events};
  // The window's thread only. Set once the run has failed and the user has
  // been told: nothing is left to stop, so a close needs no notice, and a
  // read-out still on its way is not shown.
  bool failed = false;
  // Read and written by the close task only.
  std::atomic<bool> closing{false};
  // The close sequence, off the window's thread. Last: destroying it waits
  // for a close that is still running.
  TaskThread close_task{L"Veltra close", [this] { StopAndClose(); }};
};
