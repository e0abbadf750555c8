#include "app/dialogcontrols.h"

#include <commctrl.h>

#include "app/resource.h"

void DialogControls::SetText(int id, const std::wstring& text) const {
  ::SetWindowTextW(::GetDlgItem(dialog_, id), text.c_str());
}

std::wstring DialogControls::Text(int id) const {
  HWND control = ::GetDlgItem(dialog_, id);
  std::wstring text(static_cast<size_t>(::GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(
      static_cast<size_t>(::GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
  return text;
}

void DialogControls::Show(int id, bool visible) const {
  ::ShowWindow(::GetDlgItem(dialog_, id), visible ? SW_SHOW : SW_HIDE);
}

bool DialogControls::IsShown(int id) const {
  return (::GetWindowLongW(::GetDlgItem(dialog_, id), GWL_STYLE) & WS_VISIBLE) != 0;
}

void DialogControls::SetProgress(int percent) const {
  HWND bar = ::GetDlgItem(dialog_, IDC_PROGRESS);
  const LRESULT before = ::SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
  // Screen readers follow the bar by its value changes, which not every
  // system's bar raises itself.
  if (before != ::SendMessageW(bar, PBM_GETPOS, 0, 0)) {
    ::NotifyWinEvent(EVENT_OBJECT_VALUECHANGE, bar, OBJID_CLIENT, CHILDID_SELF);
  }
}

int DialogControls::Progress() const {
  return static_cast<int>(::SendDlgItemMessageW(dialog_, IDC_PROGRESS, PBM_GETPOS, 0, 0));
}

void DialogControls::Apply(const Readout& readout, const std::wstring* tip) const {
  if (readout.show_labels) Show(IDC_LABELS, true);
  Show(IDC_VALUES, readout.show_values);
  Show(IDC_PAUSE, readout.show_pause);
  SetProgress(readout.bar);
  if (tip != nullptr) {
    SetText(IDC_TIP, *tip);
    Show(IDC_TIP, true);
  }
  SetText(IDC_LABELS, readout.labels);
  SetText(IDC_VALUES, readout.values);
}

void DialogControls::ShowError(const std::wstring& text) const {
  ::MessageBoxW(dialog_, text.c_str(), L"Error", MB_OK | MB_ICONERROR);
}
