#include "app/dialogaccessibility.h"

#include <commctrl.h>

#include <string>
#include <vector>

#include "app/accessibleobject.h"
#include "app/dialogcontrols.h"
#include "app/resource.h"

namespace {

// What a control's text does not tell, kept in the control's user data
// (neither static controls nor buttons use it), so that a description needs
// only the window.
constexpr LONG_PTR kPressed = 1;
constexpr LONG_PTR kAlert = 2;

bool Has(HWND control, LONG_PTR flag) {
  return (::GetWindowLongPtrW(control, GWLP_USERDATA) & flag) != 0;
}

void Mark(HWND control, LONG_PTR flag, bool on) {
  const LONG_PTR flags = ::GetWindowLongPtrW(control, GWLP_USERDATA);
  ::SetWindowLongPtrW(control, GWLP_USERDATA, on ? flags | flag : flags & ~flag);
}

std::wstring TextOf(HWND control) {
  return DialogControls(::GetParent(control)).Text(::GetDlgCtrlID(control));
}

std::vector<std::wstring> Lines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

AccessibleDescription Text(HWND control) {
  AccessibleDescription text;
  text.name = TextOf(control);
  if (Has(control, kAlert)) text.role = ROLE_SYSTEM_ALERT;
  return text;
}

AccessibleDescription Logo(HWND) {
  AccessibleDescription logo;
  logo.name = L"Veltra";
  logo.role = ROLE_SYSTEM_GRAPHIC;
  return logo;
}

AccessibleDescription Bar(HWND control) {
  AccessibleDescription bar;
  bar.name = L"Progress";
  bar.role = ROLE_SYSTEM_PROGRESSBAR;
  bar.value = std::to_wstring(::SendMessageW(control, PBM_GETPOS, 0, 0)) + L"%";
  return bar;
}

AccessibleDescription PauseButton(HWND control) {
  AccessibleDescription button;
  // "Pause" while the download runs, "Resume" while it is paused.
  button.name = TextOf(control);
  button.role = ROLE_SYSTEM_PUSHBUTTON;
  button.focusable = true;
  button.default_action = L"Press";
  if (Has(control, kPressed)) button.extra_state = STATE_SYSTEM_PRESSED;
  return button;
}

// The value column: one part per line, named by the label beside it
// ("Downloaded", "Time left").
AccessibleDescription Values(HWND control) {
  AccessibleDescription values;
  values.name = L"Download details";
  values.role = ROLE_SYSTEM_GROUPING;
  const std::vector<std::wstring> labels =
      Lines(TextOf(::GetDlgItem(::GetParent(control), IDC_LABELS)));
  const std::vector<std::wstring> lines = Lines(TextOf(control));
  HDC dc = ::GetDC(control);
  HGDIOBJ old =
      ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageW(control, WM_GETFONT, 0, 0)));
  TEXTMETRICW metrics = {};
  ::GetTextMetricsW(dc, &metrics);
  ::SelectObject(dc, old);
  ::ReleaseDC(control, dc);
  RECT client;
  ::GetClientRect(control, &client);
  for (size_t i = 0; i < lines.size(); ++i) {
    std::wstring name = i < labels.size() ? labels[i] : std::wstring();
    while (!name.empty() && (name.back() == L':' || name.back() == L' ')) name.pop_back();
    const LONG top = static_cast<LONG>(i) * metrics.tmHeight;
    values.parts.push_back({name, lines[i], {0, top, client.right, top + metrics.tmHeight}});
  }
  return values;
}

}  // namespace

namespace DialogAccessibility {

void Serve(HWND dialog) {
  ServeAccessible(::GetDlgItem(dialog, IDC_MESSAGE), &Text);
  ServeAccessible(::GetDlgItem(dialog, IDC_LABELS), &Text);
  ServeAccessible(::GetDlgItem(dialog, IDC_TIP), &Text);
  ServeAccessible(::GetDlgItem(dialog, IDC_VALUES), &Values);
  ServeAccessible(::GetDlgItem(dialog, IDC_PROGRESS), &Bar);
  ServeAccessible(::GetDlgItem(dialog, IDC_PAUSE), &PauseButton);
  ServeAccessible(::GetDlgItem(dialog, IDC_LOGO), &Logo);
}

void SetPaused(HWND dialog, bool paused) {
  HWND button = ::GetDlgItem(dialog, IDC_PAUSE);
  Mark(button, kPressed, paused);
  ::NotifyWinEvent(EVENT_OBJECT_STATECHANGE, button, OBJID_CLIENT, CHILDID_SELF);
  ::NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, button, OBJID_CLIENT, CHILDID_SELF);
}

void AnnounceMessage(HWND dialog) {
  HWND message = ::GetDlgItem(dialog, IDC_MESSAGE);
  Mark(message, kAlert, true);
  ::NotifyWinEvent(EVENT_SYSTEM_ALERT, message, OBJID_CLIENT, CHILDID_SELF);
}

}  // namespace DialogAccessibility
