#include "app/downloaddialog.h"

#include <commctrl.h>

#include <stdexcept>

#include "app/downloadnames.h"
#include "app/resource.h"
#include "config/buildconfig.h"
#include "download/shell.h"

DownloadDialog::DownloadDialog(HINSTANCE instance)
    : instance(instance),
      tips(TipRotation::DefaultTips(build_config::kFaqAddress, build_config::kForumAddress)),
      download_manager(this),
      download_speed([this] { return download_manager.Progress(); }, this) {
  download_manager.SetRelease({build_config::kHostName, build_config::kDownloadSubdir,
                               build_config::kProductCode, build_config::kSas});
  download_manager.SetSupportCenterUrl(build_config::kSupportUrl);
  download_manager.SetLogServiceUrl(build_config::kLogServiceUrl);
  download_manager.SetSetupSigners(build_config::kSetupSigners);

  window.Reset(::CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_DOWNLOAD), nullptr,
                                    &DownloadDialog::DialogProc, 0));
  if (!window) throw std::runtime_error("DownloadDialog: unable to create the dialog window");
  ::ShowWindow(window.Get(), SW_HIDE);
  ::SetWindowLongPtrW(window.Get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  events.SetWindow(window.Get());
  ProxySignIn::Instance().SetPrompt(&proxy_prompt);

  ::SetPriorityClass(::GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS);

  ::SendDlgItemMessageW(window.Get(), IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  std::wstring release;
  GetReleaseName(release);
  download_manager.SetLogRelease(release, build_config::kFileVersion);
  ::SetWindowTextW(window.Get(), DownloadNames::WindowCaption(release).c_str());
  look.Apply(window.Get(), instance, DialogLook::ScreenPixelsPerInch());
}

DownloadDialog::~DownloadDialog() {
  ::SetWindowLongPtrW(window.Get(), GWLP_USERDATA, 0);
  // After a normal close both have stopped already; on the entry's failure
  // path they stop here. Neither waits for this thread: they post to it.
  download_speed.Stop(INFINITE);
  download_manager.StopDownload();
  ProxySignIn::Instance().SetPrompt(nullptr);
  // The members go in reverse order: the close task is waited for, then
  // the speed meter and the manager, then the events they posted, then the
  // window.
}

void DownloadDialog::Start() {
  ::ShowWindow(window.Get(), SW_SHOW);
  DialogControls controls(window.Get());
  controls.Show(IDC_LOGO, false);
  controls.Show(IDC_PROGRESS, false);
  controls.Show(IDC_LABELS, false);
  StartDownload();
}

void DownloadDialog::StartDownload() {
  std::wstring download_folder, program_folder, crc_info_name;
  GetDownloadFolder(download_folder);
  GetProgramFolder(program_folder);
  GetCrcInfoName(crc_info_name);
  download_speed.Start();

  DialogControls controls(window.Get());
  controls.Show(IDC_LOGO, true);
  controls.Show(IDC_PROGRESS, true);
  controls.Show(IDC_LABELS, true);
  ::ShowWindow(window.Get(), SW_SHOW);
  controls.SetText(IDC_MESSAGE,
                   L"Downloading Veltra installer, please wait.\r\n\r\nThe installer will be saved "
                   L"in:\r\n" +
                       program_folder);

  download_manager.StartDownload(build_config::kDefaultHost, L"", crc_info_name, download_folder,
                                 program_folder);
}

void DownloadDialog::SetProgress(int percent) { DialogControls(window.Get()).SetProgress(percent); }

INT_PTR CALLBACK DownloadDialog::DialogProc(HWND window, UINT message, WPARAM wparam,
                                            LPARAM lparam) {
  auto* dialog = reinterpret_cast<DownloadDialog*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (dialog == nullptr) return FALSE;
  return dialog->HandleMessage(message, wparam, lparam);
}

INT_PTR DownloadDialog::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CLOSE:
      BeginClose();
      return TRUE;
    case WM_DESTROY:
      ::SetCursor(saved_cursor);
      ::EndDialog(window.Get(), 0);
      ::PostQuitMessage(0);
      return TRUE;
    case WM_ERASEBKGND:
      PaintBackground();
      return TRUE;
    case WM_COMMAND:
      OnCommand(wparam, lparam);
      return TRUE;
    case WindowEvents::kMessage:
      events.RunPosted();
      return TRUE;
    case WM_CTLCOLORSTATIC:
      return reinterpret_cast<INT_PTR>(DialogLook::ColourStatic(reinterpret_cast<HDC>(wparam)));
    default:
      return FALSE;
  }
}

void DownloadDialog::OnCommand(WPARAM wparam, LPARAM) {
  if (LOWORD(wparam) != IDC_PAUSE || HIWORD(wparam) != BN_CLICKED) return;
  HBITMAP image = download_manager.TogglePause() ? look.ResumeImage() : look.PauseImage();
  ::SendDlgItemMessageW(window.Get(), IDC_PAUSE, BM_SETIMAGE, IMAGE_BITMAP,
                        reinterpret_cast<LPARAM>(image));
}

void DownloadDialog::PaintBackground() { DialogLook::PaintBackground(window.Get()); }

void DownloadDialog::BeginClose() {
  if (failed) {
    // The run is over: the window goes at once, and the log is sent behind
    // it.
    ::ShowWindow(window.Get(), SW_HIDE);
    close_task.Start();
    return;
  }
  DialogControls controls(window.Get());
  controls.SetText(IDC_TIP, kStoppingNotice);
  controls.Show(IDC_TIP, true);
  HCURSOR previous = ::SetCursor(::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_WAIT)));
  // A second close request must not save the wait cursor as the one to
  // restore.
  if (saved_cursor == nullptr) saved_cursor = previous;
  close_task.Start();
}

void DownloadDialog::StopAndClose() {
  if (closing.exchange(true, std::memory_order_relaxed)) return;
  download_manager.StopDownload();
  download_speed.Stop(kStopWaitMs);
  download_manager.PostLogFile();
  ::PostMessageW(window.Get(), WM_DESTROY, 0, 0);
}

void DownloadDialog::DownloadFinished(DownloadManager*) {
  events.Post([this] {
    download_speed.Stop(INFINITE);
    ::PostMessageW(window.Get(), WM_CLOSE, 0, 0);
  });
}

void DownloadDialog::ShowError(const std::wstring& text) {
  events.Post([this, text] { DialogControls(window.Get()).ShowError(text); });
}

void DownloadDialog::OpenPage(const std::wstring& url) {
  events.Post([url] { SystemShell::Instance().OpenUrl(url); });
}

void DownloadDialog::DownloadFailed(DownloadManager*) {
  events.Post([this] { ShowFailed(); });
}

void DownloadDialog::ShowFailed() {
  failed = true;
  // Its last report would show the download read-out again.
  download_speed.Stop(INFINITE);
  DialogControls controls(window.Get());
  for (int id : {IDC_PAUSE, IDC_VALUES, IDC_LABELS, IDC_PROGRESS, IDC_TIP}) {
    controls.Show(id, false);
  }
  controls.SetText(IDC_MESSAGE, kFailedNotice);
}
