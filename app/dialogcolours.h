#pragma once

#include <windows.h>

#include <commctrl.h>

#include <functional>

// The dialog's colours. Normally a white page with the system's own text
// colour and bar, and grey button symbols on white; with a high-contrast
// theme on, the theme's colours for all of them, so that text, bar and
// symbols keep the contrast the user chose on either background.
struct DialogColours {
  bool high_contrast = false;
  COLORREF background = RGB(255, 255, 255);
  // CLR_DEFAULT: the control's own text colour, and the progress bar's own
  // colours.
  COLORREF text = CLR_DEFAULT;
  COLORREF bar = CLR_DEFAULT;
  COLORREF bar_background = CLR_DEFAULT;
  COLORREF symbol = RGB(128, 128, 128);
  COLORREF symbol_background = RGB(255, 255, 255);

  bool operator==(const DialogColours& other) const;

  // The choice, from whether a high-contrast theme is on and the system's
  // colour of each COLOR_* index.
  static DialogColours Choose(bool high_contrast, const std::function<COLORREF(int)>& system);
  // The choice for the system's current settings.
  static DialogColours OfSystem();
};
