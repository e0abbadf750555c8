#include "app/downloaddialog.h"

#include <commctrl.h>

#include <stdexcept>

#include "app/builtrelease.h"
#include "app/dialogaccessibility.h"
#include "app/downloadnames.h"
#include "app/resource.h"
#include "config/buildconfig.h"
#include "download/shell.h"

DownloadDialog::DownloadDialog(HINSTANCE instance)
    : instance(instance),
      tips(TipRotation::DefaultTips(build_config::kFaqAddress, build_config::kForumAddress)),
      download_manager(this),
      download_speed([this] { return download_manager.Progress(); }, this) {
  download_manager.SetRelease(BuiltRelease());
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
  ScaleToMonitor();
  DialogAccessibility::Serve(window.Get());
}

void DownloadDialog::ScaleToMonitor() {
  // The template scales with its font, which does not grow exactly with the
  // scale; the layout does, and it takes over the window's scale changes
  // from the dialog manager (Windows 10 1703 and later).
  using DpiBehaviourFunction = BOOL(WINAPI*)(HWND, int, int);
  const auto set_behaviour = reinterpret_cast<DpiBehaviourFunction>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "SetDialogDpiChangeBehavior")));
  constexpr int kDisableAll = 1;  // DDC_DISABLE_ALL
  if (set_behaviour != nullptr) set_behaviour(window.Get(), kDisableAll, kDisableAll);

  layout = DialogLayout::FromTemplate(window.Get());
  const int dpi = DialogLook::WindowDpi(window.Get());
  look.Apply(window.Get(), instance, dpi);
  ShowPauseState(false);
  RECT before;
  ::GetWindowRect(window.Get(), &before);
  layout.Apply(window.Get(), dpi);
  RECT after;
  ::GetWindowRect(window.Get(), &after);
  if (after.right - after.left == before.right - before.left &&
      after.bottom - after.top == before.bottom - before.top) {
    return;
  }
  // Centred again, as the template asks, at the size of this scale.
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof(monitor);
  ::GetMonitorInfoW(::MonitorFromWindow(window.Get(), MONITOR_DEFAULTTONEAREST), &monitor);
  const RECT& work = monitor.rcWork;
  ::SetWindowPos(window.Get(), nullptr,
                 work.left + (work.right - work.left - (after.right - after.left)) / 2,
                 work.top + (work.bottom - work.top - (after.bottom - after.top)) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void DownloadDialog::OnDpiChanged(int dpi, const RECT& suggested) {
  look.Rescale(window.Get(), instance, dpi, download_manager.IsPaused());
  layout.Apply(window.Get(), dpi);
  // The frame has the new scale too (Windows 10 1607 and later say how
  // large); without that, the frame keeps its size.
  using AdjustFunction = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
  static const auto adjust = reinterpret_cast<AdjustFunction>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
  const SIZE client = layout.Client(dpi);
  RECT frame = {0, 0, client.cx, client.cy};
  UINT flags = SWP_NOZORDER | SWP_NOACTIVATE;
  if (adjust == nullptr ||
      !adjust(&frame, static_cast<DWORD>(::GetWindowLongW(window.Get(), GWL_STYLE)), FALSE,
              static_cast<DWORD>(::GetWindowLongW(window.Get(), GWL_EXSTYLE)),
              static_cast<UINT>(dpi))) {
    flags |= SWP_NOSIZE;
  }
  ::SetWindowPos(window.Get(), nullptr, suggested.left, suggested.top, frame.right - frame.left,
                 frame.bottom - frame.top, flags);
  ::InvalidateRect(window.Get(), nullptr, TRUE);
}

void DownloadDialog::ShowPauseState(bool paused) {
  HWND button = ::GetDlgItem(window.Get(), IDC_PAUSE);
  ::SendMessageW(button, BM_SETIMAGE, IMAGE_BITMAP,
                 reinterpret_cast<LPARAM>(paused ? look.ResumeImage() : look.PauseImage()));
  // The image says it; screen readers read the text.
  ::SetWindowTextW(button, paused ? L"Resume" : L"Pause");
  DialogAccessibility::SetPaused(window.Get(), paused);
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
    case WM_DPICHANGED:
      OnDpiChanged(LOWORD(wparam), *reinterpret_cast<const RECT*>(lparam));
      return TRUE;
    case WM_SYSCOLORCHANGE:
    case WM_SETTINGCHANGE:
      if (look.TakeSystemColours(window.Get(), instance, download_manager.IsPaused())) {
        ::RedrawWindow(window.Get(), nullptr, nullptr,
                       RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
      }
      return FALSE;
    case WM_COMMAND:
      OnCommand(wparam, lparam);
      return TRUE;
    case WindowEvents::kMessage:
      events.RunPosted();
      return TRUE;
    case WM_CTLCOLORSTATIC:
      return reinterpret_cast<INT_PTR>(
          DialogLook::ColourStatic(reinterpret_cast<HDC>(wparam), look.Colours()));
    default:
      return FALSE;
  }
}

void DownloadDialog::OnCommand(WPARAM wparam, LPARAM) {
  // Esc: the dialog manager's cancel, the same close as the close box.
  if (LOWORD(wparam) == IDCANCEL && HIWORD(wparam) == BN_CLICKED) {
    BeginClose();
    return;
  }
  if (LOWORD(wparam) != IDC_PAUSE || HIWORD(wparam) != BN_CLICKED) return;
  ShowPauseState(download_manager.TogglePause());
}

void DownloadDialog::PaintBackground() {
  DialogLook::PaintBackground(window.Get(), look.Colours().background);
}

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
  DialogAccessibility::AnnounceMessage(window.Get());
}
