#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "app/dialogcontrols.h"
#include "app/dialoglook.h"
#include "app/progressreadout.h"
#include "app/resource.h"
#include "app/tiprotation.h"
#include "app/windowhandles.h"
#include "tests/app/screenshot.h"

namespace {

INT_PTR CALLBACK TestDialogProc(HWND window, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_ERASEBKGND) {
    DialogLook::PaintBackground(window);
    return TRUE;
  }
  if (message == WM_CTLCOLORSTATIC) {
    return reinterpret_cast<INT_PTR>(DialogLook::ColourStatic(reinterpret_cast<HDC>(wparam)));
  }
  return FALSE;
}

void PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// Runs `work` on another thread, as the speed meter and the manager do,
// while this (the window's) thread answers the messages it sends.
void RunOnWorker(const std::function<void()>& work) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    work();
    done = true;
  });
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (!done && GetTickCount64() < deadline) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    PumpMessages();
  }
  worker.join();
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

SIZE BitmapSize(HBITMAP bitmap) {
  BITMAP info = {};
  GetObjectW(bitmap, sizeof(info), &info);
  return {info.bmWidth, info.bmHeight};
}

LOGFONTW FontOf(HWND control) {
  LOGFONTW font = {};
  HGDIOBJ handle = reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0));
  GetObjectW(handle, sizeof(font), &font);
  return font;
}

class DialogWindowIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&classes);
    window.Reset(
        CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_DOWNLOAD), nullptr, &TestDialogProc, 0));
    ASSERT_TRUE(window) << GetLastError();
    SendDlgItemMessageW(window.Get(), IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  }

  HWND Item(int id) const { return GetDlgItem(window.Get(), id); }

  HINSTANCE instance = GetModuleHandleW(nullptr);
  UniqueWindow window;
};

TEST_F(DialogWindowIntegration, TemplateHoldsTheControlsAsDesigned) {
  DialogControls controls(window.Get());
  wchar_t caption[64] = {};
  GetWindowTextW(window.Get(), caption, 64);
  EXPECT_STREQ(caption, L"Veltra download manager");
  EXPECT_EQ(controls.Text(IDC_MESSAGE), L"Downloading Veltra Installer. Please wait.");
  EXPECT_EQ(controls.Text(IDC_LABELS),
            L"Total size:\r\nDownloaded:\r\nSpeed:\r\nCompleted:\r\nTime left:\r\n");
  EXPECT_EQ(controls.Text(IDC_VALUES), L"");
  EXPECT_EQ(controls.Text(IDC_PAUSE), L"Button1");
  EXPECT_EQ(controls.Text(IDC_TIP), L"Text");

  EXPECT_EQ(ClassOf(Item(IDC_PROGRESS)), L"msctls_progress32");
  EXPECT_EQ(ClassOf(Item(IDC_PAUSE)), L"Button");
  const LONG style = GetWindowLongW(window.Get(), GWL_STYLE);
  EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME),
            WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME);
  EXPECT_TRUE(GetWindowLongW(Item(IDC_PAUSE), GWL_STYLE) & BS_BITMAP);

  HBITMAP logo =
      reinterpret_cast<HBITMAP>(SendMessageW(Item(IDC_LOGO), STM_GETIMAGE, IMAGE_BITMAP, 0));
  ASSERT_NE(logo, nullptr);
  EXPECT_EQ(BitmapSize(logo).cx, 179);
  EXPECT_EQ(BitmapSize(logo).cy, 228);

  RECT units = {0, 0, 401, 236};
  MapDialogRect(window.Get(), &units);
  RECT client;
  GetClientRect(window.Get(), &client);
  EXPECT_EQ(client.right, units.right);
  EXPECT_EQ(client.bottom, units.bottom);

  // Full-size pictures in the program file: 256 x 256 (stored with a colour
  // table; ProgramResources checks the colours they decode to).
  UniqueGdiObject pause(
      LoadImageW(instance, MAKEINTRESOURCEW(IDB_PAUSE), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  BITMAP info = {};
  GetObjectW(pause.Get(), sizeof(info), &info);
  EXPECT_EQ(info.bmWidth, 256);
  EXPECT_EQ(info.bmHeight, 256);
  HICON icon = static_cast<HICON>(
      LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, 48, 48, LR_SHARED));
  EXPECT_NE(icon, nullptr);
}

TEST_F(DialogWindowIntegration, FontsFollowTheScreenAndButtonStartsWithPause) {
  EXPECT_EQ(DialogLook::FontHeight(96), -13);
  EXPECT_EQ(DialogLook::FontHeight(120), -17);
  EXPECT_EQ(DialogLook::FontHeight(144), -20);

  for (int dpi : {96, 120, 144}) {
    DialogLook look;
    look.Apply(window.Get(), instance, dpi);
    for (int id : {IDC_MESSAGE, IDC_LABELS, IDC_VALUES, IDC_PROGRESS}) {
      EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(Item(id), WM_GETFONT, 0, 0)), look.TextFont());
    }
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(Item(IDC_TIP), WM_GETFONT, 0, 0)),
              look.TipFont());
    EXPECT_NE(look.TipFont(), look.TextFont());
    const LOGFONTW font = FontOf(Item(IDC_LABELS));
    EXPECT_EQ(font.lfHeight, DialogLook::FontHeight(dpi));
    EXPECT_STREQ(font.lfFaceName, L"Arial");
    EXPECT_EQ(FontOf(Item(IDC_TIP)).lfHeight, DialogLook::FontHeight(dpi));

    EXPECT_FALSE(GetWindowLongW(Item(IDC_PAUSE), GWL_STYLE) & WS_VISIBLE);
    EXPECT_FALSE(GetWindowLongW(Item(IDC_TIP), GWL_STYLE) & WS_VISIBLE);
    HBITMAP image =
        reinterpret_cast<HBITMAP>(SendMessageW(Item(IDC_PAUSE), BM_GETIMAGE, IMAGE_BITMAP, 0));
    EXPECT_EQ(image, look.PauseImage());
    // 25 pixels at 96 DPI, drawn larger at larger scales.
    EXPECT_EQ(BitmapSize(look.PauseImage()).cx, MulDiv(25, dpi, 96));
    EXPECT_EQ(BitmapSize(look.ResumeImage()).cy, MulDiv(25, dpi, 96));
    EXPECT_NE(look.PauseImage(), look.ResumeImage());
  }
  EXPECT_GT(DialogLook::ScreenPixelsPerInch(), 0);
}

TEST_F(DialogWindowIntegration, ReadoutTextsReadBackInEveryPhase) {
  DialogControls controls(window.Get());
  DownloadProgress counters;
  counters.total_bytes = 1'000'000'000;
  counters.bytes_done = 333'333'333;

  RunOnWorker([&] {
    controls.Apply(ProgressReadout::Compute(1500, 1'000'000'000, 333'333'333, counters), nullptr);
  });
  EXPECT_EQ(controls.Text(IDC_VALUES),
            L"976562 kB\r\n325520 kB\r\n1500 kB/s\r\n33 %\r\n0 h : 7 m : 14 s");
  EXPECT_EQ(controls.Text(IDC_LABELS),
            L"Total size:\r\nDownloaded:\r\nSpeed:\r\nCompleted:\r\nTime left:\r\n");
  EXPECT_EQ(controls.Progress(), 33);
  EXPECT_TRUE(controls.IsShown(IDC_PAUSE));
  EXPECT_TRUE(controls.IsShown(IDC_VALUES));

  RunOnWorker([&] {
    controls.Apply(ProgressReadout::Compute(0, 1'000'000'000, 333'333'333, counters), nullptr);
  });
  EXPECT_EQ(controls.Text(IDC_VALUES), L"976562 kB\r\n325520 kB\r\n0 kB/s\r\n33 %");

  counters.merging = true;
  counters.merge_percent = 60;
  RunOnWorker([&] { controls.Apply(ProgressReadout::Compute(0, 0, 0, counters), nullptr); });
  EXPECT_EQ(controls.Text(IDC_LABELS),
            L"Copying downloaded files, please wait...\r\n60% completed");
  EXPECT_EQ(controls.Text(IDC_VALUES), L"");
  EXPECT_FALSE(controls.IsShown(IDC_VALUES));
  EXPECT_FALSE(controls.IsShown(IDC_PAUSE));
  EXPECT_EQ(controls.Progress(), 60);

  counters.verifying = true;
  counters.bytes_verified = 250'000'000;
  controls.Show(IDC_LABELS, false);
  RunOnWorker([&] { controls.Apply(ProgressReadout::Compute(0, 0, 0, counters), nullptr); });
  EXPECT_EQ(controls.Text(IDC_LABELS), L"Verifying setup files 25% completed");
  EXPECT_TRUE(controls.IsShown(IDC_LABELS));
  EXPECT_EQ(controls.Progress(), 25);

  counters = DownloadProgress();
  counters.total_bytes = 123'456'789;
  counters.bytes_done = 123'456'789;
  controls.Show(IDC_LABELS, false);
  RunOnWorker([&] {
    controls.Apply(ProgressReadout::Compute(0, 123'456'789, 123'456'789, counters), nullptr);
  });
  EXPECT_EQ(controls.Text(IDC_LABELS), L"Processing downloaded files, please wait...\r\n");
  EXPECT_TRUE(controls.IsShown(IDC_LABELS));
  EXPECT_FALSE(controls.IsShown(IDC_VALUES));
  EXPECT_EQ(controls.Progress(), 100);
}

TEST_F(DialogWindowIntegration, TipsRotateOnTheTipLine) {
  DialogLook look;
  look.Apply(window.Get(), instance, 96);
  DialogControls controls(window.Get());
  const std::vector<std::wstring> all = TipRotation::DefaultTips(L"faq.test", L"forum.test");
  TipRotation tips(all);
  const Readout readout = ProgressReadout::Compute(0, 0, 0, DownloadProgress());
  RunOnWorker([&] {
    for (int update = 1; update <= 4; ++update) controls.Apply(readout, tips.Advance());
  });
  EXPECT_FALSE(controls.IsShown(IDC_TIP));
  EXPECT_EQ(controls.Text(IDC_TIP), L"Text");

  std::vector<std::wstring> shown;
  RunOnWorker([&] {
    for (int update = 5; update <= 30; ++update) {
      controls.Apply(readout, tips.Advance());
      if (update % 5 == 0) shown.push_back(controls.Text(IDC_TIP));
    }
  });
  EXPECT_TRUE(controls.IsShown(IDC_TIP));
  ASSERT_EQ(shown.size(), 6u);
  EXPECT_EQ(shown[0], all[0]);
  EXPECT_EQ(shown[1], all[1]);
  EXPECT_EQ(shown[4], all[4]);
  EXPECT_EQ(shown[5], all[0]);
}

TEST_F(DialogWindowIntegration, ErrorBoxIsCaptionedErrorAndOwnedByTheDialog) {
  DialogControls controls(window.Get());
  ShowWindow(window.Get(), SW_SHOW);
  const std::wstring text = L"Something went wrong.\r\nSecond line";
  std::atomic<bool> returned{false};
  std::thread sender([&] {
    controls.ShowError(text);
    returned = true;
  });

  HWND box = nullptr;
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (box == nullptr && GetTickCount64() < deadline) {
    PumpMessages();
    box = FindWindowW(L"#32770", L"Error");
    Sleep(10);
  }
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(GetWindow(box, GW_OWNER), window.Get());
  wchar_t shown[256] = {};
  GetDlgItemTextW(box, 0xFFFF, shown, 256);
  EXPECT_EQ(std::wstring(shown), text);
  EXPECT_FALSE(returned);

  PostMessageW(box, WM_COMMAND, IDOK, 0);
  while (!returned && GetTickCount64() < deadline) {
    PumpMessages();
    Sleep(10);
  }
  sender.join();
  EXPECT_TRUE(returned);
}

TEST_F(DialogWindowIntegration, WindowPaintsWhiteAndIsSavedAsAScreenshot) {
  DialogLook look;
  look.Apply(window.Get(), instance, DialogLook::ScreenPixelsPerInch());
  DialogControls controls(window.Get());
  DownloadProgress counters;
  counters.total_bytes = 1'000'000'000;
  counters.bytes_done = 333'333'333;
  controls.SetText(IDC_MESSAGE,
                   L"Downloading Veltra installer, please wait.\r\n\r\nThe installer will be saved "
                   L"in:\r\nC:\\Users\\user\\Downloads");
  TipRotation tips(TipRotation::DefaultTips(L"www.veltra.test/faq", L"forum.veltra.test"));
  const Readout readout = ProgressReadout::Compute(1500, 1'000'000'000, 333'333'333, counters);
  for (int update = 0; update < 5; ++update) controls.Apply(readout, tips.Advance());
  ShowWindow(window.Get(), SW_SHOW);
  SetWindowPos(window.Get(), HWND_TOP, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE);
  UpdateWindow(window.Get());
  const ULONGLONG settle = GetTickCount64() + 500;
  while (GetTickCount64() < settle) {
    PumpMessages();
    Sleep(10);
  }

  EXPECT_TRUE(SaveScreenshot(window.Get(), "download_dialog.bmp"));
  // A spot between the logo and the read-out is background: white.
  RECT spot = {160, 200, 161, 201};
  MapDialogRect(window.Get(), &spot);
  POINT point = {spot.left, spot.top};
  ClientToScreen(window.Get(), &point);
  HDC screen = GetDC(nullptr);
  const COLORREF colour = GetPixel(screen, point.x, point.y);
  ReleaseDC(nullptr, screen);
  EXPECT_EQ(colour, RGB(255, 255, 255));

  // The values column overlaps the label column's rectangle; its text must
  // still be on screen after everything has repainted.
  RedrawWindow(window.Get(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
  const ULONGLONG repaint = GetTickCount64() + 300;
  while (GetTickCount64() < repaint) {
    PumpMessages();
    Sleep(10);
  }
  RECT values;
  GetWindowRect(GetDlgItem(window.Get(), IDC_VALUES), &values);
  screen = GetDC(nullptr);
  int dark = 0;
  for (LONG y = values.top; y < values.bottom; ++y) {
    for (LONG x = values.left; x < values.right; x += 2) {
      if (GetRValue(GetPixel(screen, x, y)) < 128) ++dark;
    }
  }
  ReleaseDC(nullptr, screen);
  EXPECT_GT(dark, 50);
  EXPECT_TRUE(SaveScreenshot(window.Get(), "download_dialog_repainted.bmp"));
}

}  // namespace
