#include "app/downloaddialog.h"

#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "app/dialogcontrols.h"
#include "app/resource.h"
#include "tests/app/screenshot.h"

namespace {

void PumpFor(DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  MSG msg;
  do {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) continue;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (ms != 0) Sleep(5);
  } while (GetTickCount64() < end);
}

// Runs `work` on another thread while this one answers window messages,
// then runs what it posted to the window.
void OnOtherThread(const std::function<void()>& work) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    work();
    done = true;
  });
  while (!done) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    PumpFor(0);
  }
  worker.join();
  PumpFor(0);
}

HBITMAP ButtonImage(HWND dialog) {
  return reinterpret_cast<HBITMAP>(
      SendDlgItemMessageW(dialog, IDC_PAUSE, BM_GETIMAGE, IMAGE_BITMAP, 0));
}

class DownloadDialogIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&classes);
  }
  HINSTANCE instance = GetModuleHandleW(nullptr);
};

TEST_F(DownloadDialogIntegration, ConstructionPreparesAHiddenWindow) {
  DownloadDialog dialog(instance);
  HWND window = dialog.Window();
  DialogControls controls(window);
  EXPECT_FALSE(IsWindowVisible(window));
  wchar_t caption[64] = {};
  GetWindowTextW(window, caption, 64);
  // The test program is app_tests.exe: release "app".
  EXPECT_STREQ(caption, L"app download manager");
  EXPECT_FALSE(controls.IsShown(IDC_PAUSE));
  EXPECT_FALSE(controls.IsShown(IDC_TIP));
  EXPECT_TRUE(controls.IsShown(IDC_LOGO));
  EXPECT_EQ(SendDlgItemMessageW(window, IDC_PROGRESS, PBM_GETRANGE, FALSE, 0), 100);
  EXPECT_EQ(GetWindowLongPtrW(window, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(&dialog));
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS));
  SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);

  std::wstring name;
  dialog.GetCrcInfoName(name);
  EXPECT_EQ(name, L"app.txt");
  dialog.GetDownloadFolder(name);
  EXPECT_EQ(name.find(L'\\'), std::wstring::npos);
  EXPECT_EQ(name.substr(name.size() - 4), L"/app");
}

TEST_F(DownloadDialogIntegration, PauseButtonSwitchesImageAndFlag) {
  DownloadDialog dialog(instance);
  HWND window = dialog.Window();
  const HBITMAP pause = ButtonImage(window);
  ASSERT_NE(pause, nullptr);
  const WPARAM click = MAKEWPARAM(IDC_PAUSE, BN_CLICKED);
  SendMessageW(window, WM_COMMAND, click, 0);
  EXPECT_TRUE(dialog.IsPaused());
  EXPECT_NE(ButtonImage(window), pause);
  SendMessageW(window, WM_COMMAND, click, 0);
  EXPECT_FALSE(dialog.IsPaused());
  EXPECT_EQ(ButtonImage(window), pause);
  // Other notifications and other controls change nothing.
  SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_PAUSE, BN_SETFOCUS), 0);
  SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_TIP, BN_CLICKED), 0);
  EXPECT_FALSE(dialog.IsPaused());
}

TEST_F(DownloadDialogIntegration, UpdatesFromTheMeterThreadReachTheControls) {
  DownloadDialog dialog(instance);
  DialogControls controls(dialog.Window());
  for (int update = 0; update < 4; ++update) {
    OnOtherThread([&] { dialog.UpdateProgress(0, 0, 0, 0); });
  }
  EXPECT_EQ(controls.Text(IDC_VALUES), L"0 kB\r\n0 kB\r\n0 kB/s\r\n0 %");
  EXPECT_FALSE(controls.IsShown(IDC_TIP));
  OnOtherThread([&] { dialog.UpdateProgress(1500, 1'000'000'000, 333'333'333, 2); });
  EXPECT_EQ(controls.Text(IDC_VALUES),
            L"976562 kB\r\n325520 kB\r\n1500 kB/s\r\n0 %\r\n0 h : 7 m : 14 s");
  EXPECT_TRUE(controls.IsShown(IDC_TIP));
  EXPECT_EQ(controls.Text(IDC_TIP).rfind(L"The setup starts automatically", 0), 0u);

  ShowWindow(dialog.Window(), SW_SHOW);
  PumpFor(500);
  EXPECT_TRUE(SaveScreenshot(dialog.Window(), "download_dialog_program.bmp"));

  // Paused: the meter reports speed 0, the read-out drops its time-left line
  // and the button shows the resume symbol.
  SendMessageW(dialog.Window(), WM_COMMAND, MAKEWPARAM(IDC_PAUSE, BN_CLICKED), 0);
  OnOtherThread([&] { dialog.UpdateProgress(0, 1'000'000'000, 333'333'333, 2); });
  EXPECT_EQ(controls.Text(IDC_VALUES), L"976562 kB\r\n325520 kB\r\n0 kB/s\r\n0 %");
  PumpFor(300);
  EXPECT_TRUE(SaveScreenshot(dialog.Window(), "download_dialog_paused.bmp"));
}

// The manager's thread never waits for the window: its events return at
// once, and the window's thread shows them in order, the failure only after
// the user has dismissed the error before it.
TEST_F(DownloadDialogIntegration, EventsComeInOrderOnTheWindowsThread) {
  DownloadDialog dialog(instance);
  ShowWindow(dialog.Window(), SW_SHOW);
  PumpFor(0);
  std::thread manager([&] {
    dialog.ShowError(
        L"Something is preventing the Download Manager from saving the installation files.");
    dialog.DownloadFailed(&dialog.Manager());
  });
  // Joined before this thread answers any message.
  manager.join();
  // The user, on a thread of their own while the box holds this one: finds
  // the box, reads what the window says meanwhile and dismisses it.
  DialogControls controls(dialog.Window());
  HWND box = nullptr;
  HWND owner = nullptr;
  DWORD box_thread = 0;
  std::wstring message_while_open;
  std::thread user([&] {
    for (int i = 0; i < 500 && box == nullptr; ++i) {
      Sleep(10);
      box = FindWindowW(L"#32770", L"Error");
    }
    if (box == nullptr) return;
    owner = GetWindow(box, GW_OWNER);
    box_thread = GetWindowThreadProcessId(box, nullptr);
    Sleep(200);
    message_while_open = controls.Text(IDC_MESSAGE);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  });
  for (int i = 0; i < 1000 && controls.Text(IDC_MESSAGE) != DownloadDialog::kFailedNotice; ++i) {
    PumpFor(10);
  }
  user.join();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(owner, dialog.Window());
  EXPECT_EQ(box_thread, GetCurrentThreadId());
  EXPECT_NE(message_while_open, DownloadDialog::kFailedNotice);
  EXPECT_EQ(controls.Text(IDC_MESSAGE), DownloadDialog::kFailedNotice);
  SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
}

TEST_F(DownloadDialogIntegration, CloseShowsTheNoticeAndEndsTheLoopOnce) {
  DownloadDialog dialog(instance);
  HWND window = dialog.Window();
  ShowWindow(window, SW_SHOW);
  PostMessageW(window, WM_CLOSE, 0, 0);
  PostMessageW(window, WM_CLOSE, 0, 0);
  int quits = 0;
  bool notice_seen = false;
  const ULONGLONG deadline = GetTickCount64() + 10000;
  MSG msg;
  // The loop the entry runs, until the quit message.
  while (GetTickCount64() < deadline && quits == 0) {
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      Sleep(5);
      continue;
    }
    if (msg.message == WM_QUIT) {
      quits++;
      continue;
    }
    DispatchMessageW(&msg);
    if (!notice_seen &&
        DialogControls(window).Text(IDC_TIP) == L"Stopping download. Please wait...") {
      notice_seen = true;
      // Paints now, without a message loop that would take the quit away.
      RedrawWindow(window, nullptr, nullptr,
                   RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
      EXPECT_TRUE(SaveScreenshot(window, "download_dialog_stopping.bmp"));
    }
  }
  EXPECT_EQ(quits, 1);
  EXPECT_TRUE(notice_seen);
  EXPECT_TRUE(DialogControls(window).IsShown(IDC_TIP));
  // A second close request posts no second quit.
  PumpFor(300);
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST_F(DownloadDialogIntegration, AfterAFailureTheWindowSaysSoAndClosesAtOnce) {
  DownloadDialog dialog(instance);
  HWND window = dialog.Window();
  DialogControls controls(window);
  for (int id : {IDC_LOGO, IDC_PROGRESS, IDC_LABELS}) controls.Show(id, true);
  ShowWindow(window, SW_SHOW);
  for (int update = 0; update < 5; ++update) {
    OnOtherThread([&] { dialog.UpdateProgress(0, 1'000'000'000, 333'333'333, 2); });
  }
  ASSERT_TRUE(controls.IsShown(IDC_PAUSE));
  ASSERT_TRUE(controls.IsShown(IDC_TIP));

  OnOtherThread([&] { dialog.DownloadFailed(&dialog.Manager()); });
  for (int id : {IDC_PAUSE, IDC_VALUES, IDC_LABELS, IDC_PROGRESS, IDC_TIP}) {
    EXPECT_FALSE(controls.IsShown(id)) << id;
  }
  EXPECT_EQ(controls.Text(IDC_MESSAGE), DownloadDialog::kFailedNotice);
  PumpFor(300);
  EXPECT_TRUE(SaveScreenshot(window, "download_dialog_failed.bmp"));

  // Nothing is left to stop: the window goes with the close request, without
  // the stopping notice.
  PostMessageW(window, WM_CLOSE, 0, 0);
  MSG msg;
  bool quit = false;
  bool hidden_at_once = false;
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (!quit && GetTickCount64() < deadline) {
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      Sleep(5);
      continue;
    }
    if (msg.message == WM_QUIT) {
      quit = true;
      continue;
    }
    DispatchMessageW(&msg);
    if (msg.message == WM_CLOSE) hidden_at_once = !IsWindowVisible(window);
  }
  EXPECT_TRUE(quit);
  EXPECT_TRUE(hidden_at_once);
  EXPECT_NE(controls.Text(IDC_TIP), DownloadDialog::kStoppingNotice);
  SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
}

TEST_F(DownloadDialogIntegration, DestroyedWhileItsThreadsRun) {
  // The entry's failure path: the dialog goes while the speed meter and the
  // manager run and this thread answers no messages. Neither may wait for
  // this thread, or the destructor would hang.
  const ULONGLONG before = GetTickCount64();
  {
    DownloadDialog dialog(instance);
    dialog.Start();
    Sleep(300);
  }
  EXPECT_LT(GetTickCount64() - before, 10000u);
  SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
}

}  // namespace
