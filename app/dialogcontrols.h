#pragma once

#include <windows.h>

#include <string>

#include "app/progressreadout.h"

// The dialog's controls by their identifiers, on the window's thread.
class DialogControls {
 public:
  explicit DialogControls(HWND dialog) : dialog_(dialog) {}

  void SetText(int id, const std::wstring& text) const;
  std::wstring Text(int id) const;
  void Show(int id, bool visible) const;
  bool IsShown(int id) const;
  void SetProgress(int percent) const;
  int Progress() const;

  // One read-out update: control visibility and bar, the tip line when a
  // new tip is due (null otherwise), then the two column texts.
  void Apply(const Readout& readout, const std::wstring* tip) const;

  // A message box captioned "Error", owned by the dialog; returns when the
  // user has dismissed it.
  void ShowError(const std::wstring& text) const;

 private:
  HWND dialog_;
};
