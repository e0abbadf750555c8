#pragma once

#include <windows.h>

#include "app/windowhandles.h"

// The dialog's look: white behind every static control, one 10-point Arial
// font for the texts and another for the tip line, and the two images of
// the pause / resume button.
class DialogLook {
 public:
  // Character height of a 10-point font for the given pixels per inch.
  static int FontHeight(int pixels_per_inch);
  // Vertical pixels per logical inch of the screen.
  static int ScreenPixelsPerInch();

  // Creates the fonts and gives them to the controls, loads the button
  // images, hides the pause button (with the pause image) and the tip line.
  void Apply(HWND dialog, HINSTANCE instance, int pixels_per_inch);

  HBITMAP PauseImage() const { return pause_image_; }
  HBITMAP ResumeImage() const { return resume_image_; }
  HFONT TextFont() const { return static_cast<HFONT>(text_font_.Get()); }
  HFONT TipFont() const { return static_cast<HFONT>(tip_font_.Get()); }

  // WM_ERASEBKGND: the whole client area white.
  static void PaintBackground(HWND dialog);
  // WM_CTLCOLORSTATIC: white text background; returns the brush to use.
  static HBRUSH ColourStatic(HDC dc);

 private:
  UniqueGdiObject text_font_;
  UniqueGdiObject tip_font_;
  // Loaded with LR_SHARED: the system owns and frees them.
  HBITMAP pause_image_ = nullptr;
  HBITMAP resume_image_ = nullptr;
};
