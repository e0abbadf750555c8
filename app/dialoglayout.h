#pragma once

#include <windows.h>

#include <vector>

// Where the dialog's controls lie at any scale: the template's layout as it
// lies at 96 DPI, every edge times the scale, so that controls and gaps
// grow together with the fonts and pictures. The one exception is the
// read-out's value column: a font is not exactly twice as wide at twice the
// size, so the column moves right when its labels need the room.
class DialogLayout {
 public:
  // Reads the layout the dialog manager gave the window from the template
  // and turns it into pixels at 96 DPI. Call before anything is moved.
  static DialogLayout FromTemplate(HWND dialog);

  // An edge, or a rectangle, at 96 DPI at `dpi`.
  static int Scale(int value, int dpi) { return ::MulDiv(value, dpi, 96); }
  static RECT Scale(const RECT& rect, int dpi);

  // Moves and sizes every control, and the window, for `dpi`; the fonts and
  // pictures must be those of `dpi` already. Pictures keep their own size,
  // centred where the layout puts them.
  void Apply(HWND dialog, int dpi) const;
  // The size of the window's client area at `dpi`.
  SIZE Client(int dpi) const;

 private:
  struct Item {
    int id;
    RECT rect;
  };
  SIZE client_ = {};
  std::vector<Item> items_;
};
