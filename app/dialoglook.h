#pragma once

#include <windows.h>

#include "app/dialogcolours.h"
#include "app/windowhandles.h"

// The dialog's look at the window's scale: white behind every static
// control (or the high-contrast theme's colours), one 10-point Arial font
// for the texts and another for the tip line, the logo, and the two images
// of the pause / resume button. At 96 DPI the pictures are those of the
// program file; at other scales, and the symbols in high contrast, they are
// drawn as shapes at their size (app/dialogpictures.h), never stretched.
class DialogLook {
 public:
  // Character height of a 10-point font for the given pixels per inch.
  static int FontHeight(int pixels_per_inch);
  // Vertical pixels per logical inch of the screen.
  static int ScreenPixelsPerInch();
  // The scale of the window's monitor, where the system says so.
  static int WindowDpi(HWND window);

  // Creates the fonts and gives them to the controls, loads the pictures,
  // hides the pause button (with the pause image) and the tip line.
  void Apply(HWND dialog, HINSTANCE instance, int pixels_per_inch);
  // Fonts and pictures for another scale; the button shows the image for
  // `paused`.
  void Rescale(HWND dialog, HINSTANCE instance, int pixels_per_inch, bool paused);
  // Takes the colours of the system's current settings; true when they
  // changed (the window must repaint).
  bool TakeSystemColours(HWND dialog, HINSTANCE instance, bool paused);
  void SetColours(HWND dialog, HINSTANCE instance, const DialogColours& colours, bool paused);

  HBITMAP PauseImage() const { return pause_image_; }
  HBITMAP ResumeImage() const { return resume_image_; }
  HFONT TextFont() const { return static_cast<HFONT>(text_font_.Get()); }
  HFONT TipFont() const { return static_cast<HFONT>(tip_font_.Get()); }
  const DialogColours& Colours() const { return colours_; }

  // WM_ERASEBKGND: the whole client area in the background colour.
  static void PaintBackground(HWND dialog, COLORREF background = RGB(255, 255, 255));
  // WM_CTLCOLORSTATIC: the text and its background; returns the brush to
  // use.
  static HBRUSH ColourStatic(HDC dc, const DialogColours& colours = DialogColours());

 private:
  void LoadButtonImages(HWND dialog, HINSTANCE instance, bool paused);
  void LoadLogo(HWND dialog, HINSTANCE instance);

  int dpi_ = 96;
  DialogColours colours_;
  UniqueGdiObject text_font_;
  UniqueGdiObject tip_font_;
  // At 96 DPI loaded with LR_SHARED (the system owns them); drawn ones are
  // owned here.
  HBITMAP pause_image_ = nullptr;
  HBITMAP resume_image_ = nullptr;
  UniqueGdiObject drawn_pause_;
  UniqueGdiObject drawn_resume_;
  // The template's own logo until the scale changes.
  int logo_dpi_ = 96;
  UniqueGdiObject logo_;
};
