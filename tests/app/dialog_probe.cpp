// Looks at the real dialog the way a user does, at whatever scale the
// system is set to (tests/app/dialog_probe_test.py runs it at each one):
//
//   dialog_probe layout SHOT.bmp   every control's rectangle and its text's
//                                  extent in each phase of the read-out;
//                                  prints them and every clipped text or
//                                  overlap, saves a screenshot
//   dialog_probe keys esc|altf4    reads every control through the system's
//                                  accessibility interface as a screen
//                                  reader does (from another thread, through
//                                  COM), presses Tab, Space and Enter on the
//                                  pause button, follows the bar's value
//                                  events, reads an error box and the
//                                  failure notice as they appear, and closes
//                                  with Esc or Alt+F4
//   dialog_probe contrast SHOT.bmp the dialog's look in a high-contrast theme
//                                  (black), which Wine cannot switch on:
//                                  the theme's colours are set for the run
//                                  and the look is told high contrast is on
//
// Output: one fact per line, "problem ..." for each fault found. The exit
// code is the number of problems.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <oleacc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/dialogcolours.h"
#include "app/dialogcontrols.h"
#include "app/dialoglook.h"
#include "app/dlgapplication.h"
#include "app/downloaddialog.h"
#include "app/progressreadout.h"
#include "app/resource.h"
#include "tests/app/screenshot.h"

namespace {

int problems = 0;

void Problem(const char* format, ...) {
  va_list args;
  va_start(args, format);
  printf("problem ");
  vprintf(format, args);
  printf("\n");
  va_end(args);
  ++problems;
}

void Pump(DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  MSG msg;
  do {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) continue;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(5);
  } while (GetTickCount64() < end);
}

// Runs `work` on another thread, as the speed meter does, while this one
// answers the window.
void OnOtherThread(const std::function<void()>& work) {
  bool done = false;
  std::thread worker([&] {
    work();
    done = true;
  });
  while (!done) Pump(10);
  worker.join();
  Pump(50);
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += (c >= 32 && c < 127) ? static_cast<char>(c) : ' ';
  return out;
}

RECT RectIn(HWND dialog, HWND control) {
  RECT rect;
  GetWindowRect(control, &rect);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

bool Overlap(const RECT& a, const RECT& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

SIZE BitmapSize(HBITMAP bitmap) {
  BITMAP info = {};
  if (bitmap == nullptr || GetObjectW(bitmap, sizeof(info), &info) == 0) return {0, 0};
  return {info.bmWidth, info.bmHeight};
}

// The box of a picture's pixels that differ from its top left corner.
RECT InkOf(HBITMAP bitmap) {
  const SIZE size = BitmapSize(bitmap);
  RECT ink = {size.cx, size.cy, 0, 0};
  if (size.cx == 0) return {};
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = size.cx;
  info.bmiHeader.biHeight = -size.cy;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  std::vector<DWORD> pixels(static_cast<size_t>(size.cx) * size.cy);
  HDC dc = GetDC(nullptr);
  GetDIBits(dc, bitmap, 0, size.cy, pixels.data(), &info, DIB_RGB_COLORS);
  ReleaseDC(nullptr, dc);
  for (LONG y = 0; y < size.cy; ++y) {
    for (LONG x = 0; x < size.cx; ++x) {
      if ((pixels[y * size.cx + x] & 0xFFFFFF) == (pixels[0] & 0xFFFFFF)) continue;
      ink = {std::min(ink.left, x), std::min(ink.top, y), std::max(ink.right, x + 1),
             std::max(ink.bottom, y + 1)};
    }
  }
  return ink.right > ink.left ? ink : RECT{};
}

// What a static control's text needs, laid out as the control lays it out:
// wrapped at its width, in its font, trailing line breaks left out (they
// draw nothing).
RECT TextExtent(HWND control, std::wstring text) {
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  RECT client;
  GetClientRect(control, &client);
  RECT needed = {0, 0, client.right, 0};
  if (text.empty()) return needed;
  HDC dc = GetDC(control);
  HGDIOBJ old =
      SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &needed,
            DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_LEFT);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return needed;
}

// One control as it shows now: its rectangle, and the part of it that its
// content takes (the text's extent, or the whole control).
struct Shown {
  int id;
  RECT rect;
  RECT content;
};

std::vector<Shown> Look(HWND dialog, const char* phase) {
  std::vector<Shown> shown;
  RECT client;
  GetClientRect(dialog, &client);
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if (!IsWindowVisible(child)) continue;
    const int id = GetDlgCtrlID(child);
    const RECT rect = RectIn(dialog, child);
    RECT content = rect;
    wchar_t name[32] = {};
    GetClassNameW(child, name, 32);
    const std::wstring text = DialogControls(dialog).Text(id);
    if (lstrcmpiW(name, L"Static") == 0 && id != IDC_LOGO) {
      const RECT needed = TextExtent(child, text);
      content = {rect.left, rect.top, rect.left + needed.right, rect.top + needed.bottom};
      if (needed.right > rect.right - rect.left || needed.bottom > rect.bottom - rect.top) {
        Problem("%s: text of %d needs %ldx%ld, has %ldx%ld: \"%s\"", phase, id, needed.right,
                needed.bottom, rect.right - rect.left, rect.bottom - rect.top,
                Narrow(text).c_str());
      }
    }
    if (id == IDC_LOGO || id == IDC_PAUSE) {
      HBITMAP bitmap = reinterpret_cast<HBITMAP>(
          id == IDC_LOGO ? SendMessageW(child, STM_GETIMAGE, IMAGE_BITMAP, 0)
                         : SendMessageW(child, BM_GETIMAGE, IMAGE_BITMAP, 0));
      const SIZE image = BitmapSize(bitmap);
      printf("image %s %d %ld %ld\n", phase, id, image.cx, image.cy);
      // What the picture draws (its pixels other than its corner's colour),
      // centred in the control, must lie inside it; a button's frame takes
      // two pixels at each side.
      RECT inner;
      GetClientRect(child, &inner);
      if (id == IDC_PAUSE) InflateRect(&inner, -2, -2);
      RECT ink = InkOf(bitmap);
      OffsetRect(&ink, (rect.right - rect.left - image.cx) / 2,
                 id == IDC_PAUSE ? (rect.bottom - rect.top - image.cy) / 2 : 0);
      RECT inside;
      if (IsRectEmpty(&ink) || !IntersectRect(&inside, &ink, &inner) || !EqualRect(&inside, &ink)) {
        Problem("%s: picture of %d draws at %ld,%ld-%ld,%ld, outside %ld,%ld-%ld,%ld", phase, id,
                ink.left, ink.top, ink.right, ink.bottom, inner.left, inner.top, inner.right,
                inner.bottom);
      }
    }
    if (rect.left < 0 || rect.top < 0 || rect.right > client.right || rect.bottom > client.bottom) {
      Problem("%s: %d lies outside the window", phase, id);
    }
    printf("control %s %d %ld %ld %ld %ld text %ld %ld %ld %ld\n", phase, id, rect.left, rect.top,
           rect.right, rect.bottom, content.left, content.top, content.right, content.bottom);
    shown.push_back({id, rect, content});
  }
  for (size_t i = 0; i < shown.size(); ++i) {
    for (size_t j = i + 1; j < shown.size(); ++j) {
      if (Overlap(shown[i].content, shown[j].content)) {
        Problem("%s: %d and %d overlap", phase, shown[i].id, shown[j].id);
      }
    }
  }
  return shown;
}

// The label and value of each line of the read-out stay apart.
void CheckColumns(HWND dialog, const char* phase) {
  DialogControls controls(dialog);
  if (!controls.IsShown(IDC_VALUES) || !controls.IsShown(IDC_LABELS)) return;
  HWND labels = GetDlgItem(dialog, IDC_LABELS);
  const LONG values_left = RectIn(dialog, GetDlgItem(dialog, IDC_VALUES)).left;
  const LONG labels_left = RectIn(dialog, labels).left;
  std::wstring text = controls.Text(IDC_LABELS);
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring line = text.substr(start, end - start);
    const RECT needed = TextExtent(labels, line);
    if (labels_left + needed.right >= values_left) {
      Problem("%s: label \"%s\" runs into its value", phase, Narrow(line).c_str());
    }
    start = end + 2;
  }
}

DownloadProgress Downloading() {
  DownloadProgress counters;
  counters.total_bytes = 1'000'000'000;
  counters.bytes_done = 333'333'333;
  return counters;
}

int Layout(const std::wstring& shot) {
  DownloadDialog dialog(GetModuleHandleW(nullptr));
  SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
  HWND window = dialog.Window();
  DialogControls controls(window);
  HDC screen = GetDC(nullptr);
  printf("dpi %d\n", GetDeviceCaps(screen, LOGPIXELSY));
  ReleaseDC(nullptr, screen);

  controls.SetText(IDC_MESSAGE,
                   L"Downloading Veltra installer, please wait.\r\n\r\nThe installer will be saved "
                   L"in:\r\nC:\\Users\\user\\Downloads");
  // Five reports of the speed meter: the read-out and the first tip.
  for (int update = 0; update < 5; ++update) {
    OnOtherThread([&] { dialog.UpdateProgress(1500, 1'000'000'000, 333'333'333, 2); });
  }
  ShowWindow(window, SW_SHOW);
  SetForegroundWindow(window);
  Pump(800);
  RECT client;
  GetClientRect(window, &client);
  printf("client %ld %ld\n", client.right, client.bottom);
  Look(window, "downloading");
  CheckColumns(window, "downloading");
  if (!SaveScreenshot(window, std::string(shot.begin(), shot.end()).c_str())) {
    Problem("no screenshot");
  }
  // Onto a monitor of the other scale (192 DPI, or 96 from a larger one)
  // and back: the driver compares "moved" with the other scale's run, and
  // "back" with this one.
  const int system_dpi = DialogLook::ScreenPixelsPerInch();
  for (int dpi : {system_dpi == 96 ? 192 : 96, system_dpi}) {
    RECT suggested;
    GetWindowRect(window, &suggested);
    SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
    Pump(200);
    Look(window, dpi == system_dpi ? "back" : "moved");
  }

  // Every other phase, and each tip, in the same window.
  struct Phase {
    const char* name;
    DownloadProgress counters;
    uint64_t speed;
  };
  DownloadProgress verifying = Downloading();
  verifying.verifying = true;
  verifying.bytes_verified = 250'000'000;
  DownloadProgress copying = Downloading();
  copying.merging = true;
  copying.merge_percent = 99;
  DownloadProgress processing = Downloading();
  processing.bytes_done = processing.total_bytes;
  for (const Phase& phase : {Phase{"paused", Downloading(), 0}, Phase{"verifying", verifying, 0},
                             Phase{"copying", copying, 0}, Phase{"processing", processing, 0}}) {
    const uint64_t done = phase.counters.bytes_done;
    controls.Apply(
        ProgressReadout::Compute(phase.speed, phase.counters.total_bytes, done, phase.counters),
        nullptr);
    Pump(100);
    Look(window, phase.name);
    CheckColumns(window, phase.name);
  }
  // The longest hours a download can show.
  controls.Apply(ProgressReadout::Compute(1, 1'000'000'000'000, 0, DownloadProgress()), nullptr);
  Pump(100);
  Look(window, "hours");
  CheckColumns(window, "hours");
  TipRotation tips(TipRotation::DefaultTips(L"www.veltra.test/faq", L"forum.veltra.test"));
  for (int tip = 0; tip < 5; ++tip) {
    std::string name = "tip" + std::to_string(tip + 1);
    for (int update = 0; update < 4; ++update) tips.Advance();
    controls.SetText(IDC_TIP, *tips.Advance());
    Pump(50);
    Look(window, name.c_str());
  }
  controls.SetText(IDC_TIP, DownloadDialog::kStoppingNotice);
  Look(window, "stopping");
  for (int id : {IDC_PAUSE, IDC_VALUES, IDC_LABELS, IDC_PROGRESS, IDC_TIP})
    controls.Show(id, false);
  controls.SetText(IDC_MESSAGE, DownloadDialog::kFailedNotice);
  Pump(100);
  Look(window, "failed");
  return problems;
}

// What a screen reader reads of one control.
struct Heard {
  bool ok = false;
  std::wstring name;
  std::wstring value;
  LONG role = 0;
  LONG state = 0;
  std::vector<std::pair<std::wstring, std::wstring>> parts;
};

std::wstring Take(BSTR text) {
  std::wstring out = text != nullptr ? std::wstring(text, SysStringLen(text)) : std::wstring();
  SysFreeString(text);
  return out;
}

Heard Hear(HWND control) {
  Heard heard;
  IAccessible* object = nullptr;
  const HRESULT found = AccessibleObjectFromWindow(control, OBJID_CLIENT, __uuidof(IAccessible),
                                                   reinterpret_cast<void**>(&object));
  if (FAILED(found)) {
    printf("no accessible object for %d: 0x%lx\n", GetDlgCtrlID(control), found);
    return heard;
  }
  VARIANT self;
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  BSTR text = nullptr;
  if (SUCCEEDED(object->get_accName(self, &text))) heard.name = Take(text);
  text = nullptr;
  if (SUCCEEDED(object->get_accValue(self, &text))) heard.value = Take(text);
  VARIANT out;
  VariantInit(&out);
  if (SUCCEEDED(object->get_accRole(self, &out)) && out.vt == VT_I4) heard.role = out.lVal;
  VariantInit(&out);
  if (SUCCEEDED(object->get_accState(self, &out)) && out.vt == VT_I4) heard.state = out.lVal;
  LONG count = 0;
  object->get_accChildCount(&count);
  for (LONG i = 1; i <= count; ++i) {
    VARIANT child;
    child.vt = VT_I4;
    child.lVal = i;
    BSTR name = nullptr, value = nullptr;
    object->get_accName(child, &name);
    object->get_accValue(child, &value);
    heard.parts.emplace_back(Take(name), Take(value));
  }
  object->Release();
  heard.ok = true;
  return heard;
}

void Print(const char* what, const Heard& heard) {
  printf("heard %s role %ld state 0x%lx name \"%s\" value \"%s\"", what, heard.role, heard.state,
         Narrow(heard.name).c_str(), Narrow(heard.value).c_str());
  for (const auto& [name, value] : heard.parts) {
    printf(" [%s = %s]", Narrow(name).c_str(), Narrow(value).c_str());
  }
  printf("\n");
}

// The window events a screen reader listens to, as they come.
std::mutex events_lock;
std::vector<std::pair<DWORD, HWND>> events;

void CALLBACK OnEvent(HWINEVENTHOOK, DWORD event, HWND window, LONG object, LONG, DWORD, DWORD) {
  if (object != OBJID_CLIENT) return;
  std::lock_guard<std::mutex> lock(events_lock);
  events.emplace_back(event, window);
}

bool Seen(DWORD event, HWND window) {
  std::lock_guard<std::mutex> lock(events_lock);
  for (const auto& [e, w] : events) {
    if (e == event && w == window) return true;
  }
  return false;
}

// Waits, answering this thread's messages (the event hook's), until
// `done` holds.
bool WaitFor(const std::function<bool()>& done, DWORD ms = 5000) {
  const ULONGLONG end = GetTickCount64() + ms;
  while (!done()) {
    if (GetTickCount64() >= end) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
  return true;
}

void Press(std::initializer_list<WORD> keys) {
  std::vector<INPUT> inputs;
  for (WORD key : keys) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    inputs.push_back(input);
  }
  for (auto it = keys.end(); it != keys.begin();) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = *--it;
    input.ki.dwFlags = KEYEVENTF_KEYUP;
    inputs.push_back(input);
  }
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

void Expect(bool condition, const char* what) {
  printf("%s %s\n", condition ? "ok" : "problem", what);
  if (!condition) ++problems;
}

// The user, with a screen reader, on a thread of their own.
void User(DownloadDialog& dialog, const std::wstring& close_key) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  HWND window = dialog.Window();
  auto item = [&](int id) { return GetDlgItem(window, id); };
  HWINEVENTHOOK hook = SetWinEventHook(EVENT_MIN, EVENT_MAX, nullptr, &OnEvent,
                                       GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT);

  const Heard message = Hear(item(IDC_MESSAGE));
  Print("message", message);
  Expect(message.ok && message.role == ROLE_SYSTEM_STATICTEXT &&
             message.name.find(L"Downloading Veltra installer") == 0,
         "the message is read as text");
  const Heard values = Hear(item(IDC_VALUES));
  Print("values", values);
  const std::vector<std::pair<std::wstring, std::wstring>> expected = {
      {L"Total size", L"976562 kB"},
      {L"Downloaded", L"325520 kB"},
      {L"Speed", L"1500 kB/s"},
      {L"Completed", L"0 %"},
      {L"Time left", L"0 h : 7 m : 14 s"}};
  Expect(values.parts == expected, "each value is named by its label");
  const Heard bar = Hear(item(IDC_PROGRESS));
  Print("bar", bar);
  Expect(bar.role == ROLE_SYSTEM_PROGRESSBAR && bar.value == L"0%", "the bar gives its value");
  const Heard tip = Hear(item(IDC_TIP));
  Print("tip", tip);
  Expect(tip.name.find(L"The setup starts automatically") == 0 &&
             !(tip.state & (STATE_SYSTEM_FOCUSABLE | STATE_SYSTEM_INVISIBLE)),
         "the tip is readable and takes no focus");
  Print("logo", Hear(item(IDC_LOGO)));
  Heard button = Hear(item(IDC_PAUSE));
  Print("pause", button);
  Expect(button.role == ROLE_SYSTEM_PUSHBUTTON && button.name == L"Pause" &&
             (button.state & STATE_SYSTEM_FOCUSABLE) && !(button.state & STATE_SYSTEM_PRESSED),
         "the pause button says Pause, not pressed");

  // The bar moves: its value changes are announced.
  DialogControls(window).SetProgress(40);
  Expect(WaitFor([&] { return Seen(EVENT_OBJECT_VALUECHANGE, item(IDC_PROGRESS)); }),
         "the bar raises a value change");
  Expect(Hear(item(IDC_PROGRESS)).value == L"40%", "the bar's new value is read");

  if (close_key == L"esc") {
    // Tab reaches the pause button and shows the focus.
    // The only tab stop: the dialog manager may have given it the focus
    // already, and Tab then keeps it there.
    printf("before Tab the pause button is %sfocused\n",
           Hear(item(IDC_PAUSE)).state & STATE_SYSTEM_FOCUSED ? "" : "not ");
    Press({VK_TAB});
    Expect(WaitFor([&] { return Hear(item(IDC_PAUSE)).state & STATE_SYSTEM_FOCUSED; }),
           "Tab puts the focus on the pause button");
    const LRESULT ui = SendMessageW(item(IDC_PAUSE), WM_QUERYUISTATE, 0, 0);
    Expect(!(ui & UISF_HIDEFOCUS), "the pause button shows its focus");
    Press({VK_SPACE});
    Expect(WaitFor([&] { return dialog.IsPaused(); }), "Space pauses the download");
    button = Hear(item(IDC_PAUSE));
    Print("pause", button);
    Expect(button.name == L"Resume" && (button.state & STATE_SYSTEM_PRESSED),
           "the button then says Resume, pressed");
    Expect(Seen(EVENT_OBJECT_STATECHANGE, item(IDC_PAUSE)), "its state change is announced");
    Press({VK_RETURN});
    Expect(WaitFor([&] { return !dialog.IsPaused(); }), "Enter resumes the download");
    Expect(Hear(item(IDC_PAUSE)).name == L"Pause", "the button says Pause again");
    Press({VK_ESCAPE});
  } else {
    // A message box the manager shows is read as it appears: it takes the
    // focus, and its text is readable.
    const std::wstring text = L"Your network answers the download with a web page.";
    dialog.ShowError(text);
    HWND box = nullptr;
    Expect(WaitFor([&] { return (box = FindWindowW(L"#32770", L"Error")) != nullptr; }),
           "the error box appears");
    GUITHREADINFO focus = {};
    focus.cbSize = sizeof(focus);
    Expect(WaitFor([&] {
             return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &focus) &&
                    focus.hwndActive == box;
           }),
           "the error box is the active window");
    Expect(Hear(GetDlgItem(box, 0xFFFF)).name == text, "its text is read");
    // The system lays the box out at the system's scale: nothing clipped.
    const int before = problems;
    Look(box, "errorbox");
    Expect(problems == before, "the error box shows its text whole");
    Press({VK_RETURN});
    Expect(WaitFor([&] { return !IsWindow(box); }), "Enter dismisses it");
    // The failure notice is read out as an alert when it appears.
    dialog.DownloadFailed(&dialog.Manager());
    Expect(WaitFor([&] { return Seen(EVENT_SYSTEM_ALERT, item(IDC_MESSAGE)); }),
           "the failure notice raises an alert");
    const Heard failed = Hear(item(IDC_MESSAGE));
    Print("message", failed);
    Expect(failed.role == ROLE_SYSTEM_ALERT && failed.name == DownloadDialog::kFailedNotice,
           "the failure notice is read as an alert");
    SetForegroundWindow(window);
    Press({VK_MENU, VK_F4});
  }
  UnhookWinEvent(hook);
  CoUninitialize();
}

int Keys(const std::wstring& close_key) {
  DownloadDialog dialog(GetModuleHandleW(nullptr));
  SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
  HWND window = dialog.Window();
  DialogControls(window).SetText(
      IDC_MESSAGE,
      L"Downloading Veltra installer, please wait.\r\n\r\nThe installer will be "
      L"saved in:\r\nC:\\Users\\user\\Downloads");
  for (int update = 0; update < 5; ++update) {
    OnOtherThread([&] { dialog.UpdateProgress(1500, 1'000'000'000, 333'333'333, 2); });
  }
  ShowWindow(window, SW_SHOW);
  SetForegroundWindow(window);
  Pump(300);
  // The close sequence ends the loop; a probe that hangs ends anyway.
  std::atomic<bool> closed{false};
  bool forced = false;
  bool noticed = false;
  std::thread user([&] {
    User(dialog, close_key);
    for (int i = 0; i < 200 && !closed; ++i) {
      noticed = noticed ||
                DialogControls(window).Text(IDC_TIP) == DownloadDialog::kStoppingNotice ||
                !IsWindowVisible(window);
      Sleep(25);
    }
    // A probe whose close did not happen ends all the same.
    if (!closed) {
      forced = true;
      PostMessageW(window, WM_DESTROY, 0, 0);
    }
  });
  RunMessageLoop(window);
  closed = true;
  user.join();
  Expect(!forced, "the key ran the close sequence to its end");
  Expect(noticed, "the close showed the stopping notice, or the window went at once");
  printf("closed by %s\n", Narrow(close_key).c_str());
  return problems;
}

DialogLook* contrast_look = nullptr;

INT_PTR CALLBACK ContrastProc(HWND window, UINT message, WPARAM wparam, LPARAM) {
  if (contrast_look == nullptr) return FALSE;
  if (message == WM_ERASEBKGND) {
    DialogLook::PaintBackground(window, contrast_look->Colours().background);
    return TRUE;
  }
  if (message == WM_CTLCOLORSTATIC) {
    return reinterpret_cast<INT_PTR>(
        DialogLook::ColourStatic(reinterpret_cast<HDC>(wparam), contrast_look->Colours()));
  }
  return FALSE;
}

COLORREF ScreenPixel(HWND window, int x, int y) {
  POINT point = {x, y};
  ClientToScreen(window, &point);
  HDC screen = GetDC(nullptr);
  const COLORREF colour = GetPixel(screen, point.x, point.y);
  ReleaseDC(nullptr, screen);
  return colour;
}

int Contrast(const std::wstring& shot) {
  // The colours of Windows' "High Contrast Black", for this run only.
  const int indices[] = {COLOR_WINDOW,  COLOR_WINDOWTEXT, COLOR_HIGHLIGHT, COLOR_BTNFACE,
                         COLOR_BTNTEXT, COLOR_3DSHADOW,   COLOR_3DHILIGHT, COLOR_3DDKSHADOW};
  const COLORREF black[] = {RGB(0, 0, 0),       RGB(255, 255, 255), RGB(26, 235, 255),
                            RGB(0, 0, 0),       RGB(255, 255, 255), RGB(128, 128, 128),
                            RGB(255, 255, 255), RGB(255, 255, 255)};
  COLORREF saved[8];
  for (int i = 0; i < 8; ++i) saved[i] = GetSysColor(indices[i]);
  SetSysColors(8, indices, black);

  HINSTANCE instance = GetModuleHandleW(nullptr);
  HWND window =
      CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_DOWNLOAD), nullptr, &ContrastProc, 0);
  DialogLook look;
  look.Apply(window, instance, 96);
  look.SetColours(window, instance,
                  DialogColours::Choose(true, [](int i) { return GetSysColor(i); }), false);
  contrast_look = &look;
  DialogControls controls(window);
  controls.SetText(IDC_MESSAGE,
                   L"Downloading Veltra installer, please wait.\r\n\r\nThe installer will be saved "
                   L"in:\r\nC:\\Users\\user\\Downloads");
  DownloadProgress counters = Downloading();
  controls.Apply(
      ProgressReadout::Compute(1500, counters.total_bytes, counters.bytes_done, counters), nullptr);
  controls.SetText(IDC_TIP,
                   TipRotation::DefaultTips(L"www.veltra.test/faq", L"forum.veltra.test")[1]);
  controls.Show(IDC_TIP, true);
  ShowWindow(window, SW_SHOW);
  SetForegroundWindow(window);
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
  Pump(800);
  if (!SaveScreenshot(window, std::string(shot.begin(), shot.end()).c_str()))
    Problem("no screenshot");

  RECT spot = {160, 200, 161, 201};
  MapDialogRect(window, &spot);
  Expect(ScreenPixel(window, spot.left, spot.top) == RGB(0, 0, 0),
         "the background is the theme's window colour");
  RECT message = RectIn(window, GetDlgItem(window, IDC_MESSAGE));
  int light = 0;
  for (LONG y = message.top; y < message.top + 20; ++y) {
    for (LONG x = message.left; x < message.left + 200; ++x) {
      if (GetRValue(ScreenPixel(window, x, y)) > 200) ++light;
    }
  }
  Expect(light > 20, "the text is in the theme's text colour");
  RECT bar = RectIn(window, GetDlgItem(window, IDC_PROGRESS));
  const COLORREF filled = ScreenPixel(window, bar.left + 6, (bar.top + bar.bottom) / 2);
  printf("bar 0x%06lx\n", filled);
  Expect(filled == RGB(26, 235, 255), "the bar is in the theme's highlight colour");
  const RECT ink = InkOf(look.PauseImage());
  Expect(!IsRectEmpty(&ink), "the pause symbol stands out on the button's face");

  contrast_look = nullptr;
  DestroyWindow(window);
  SetSysColors(8, indices, saved);
  return problems;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&classes);
  setvbuf(stdout, nullptr, _IONBF, 0);
  const std::wstring mode = argc >= 2 ? argv[1] : L"";
  int result = -1;
  if (mode == L"layout" && argc >= 3) result = Layout(argv[2]);
  if (mode == L"keys" && argc >= 3) result = Keys(argv[2]);
  if (mode == L"contrast" && argc >= 3) result = Contrast(argv[2]);
  if (result < 0) fprintf(stderr, "usage: dialog_probe layout SHOT.bmp\n");
  CoUninitialize();
  return result;
}
