#include <windows.h>

#include <gtest/gtest.h>

#include <map>

#include "app/dialogcolours.h"
#include "app/dialogpictures.h"

namespace {

// Windows' "High Contrast White": black on white, a purple highlight.
COLORREF HighContrastWhite(int index) {
  static const std::map<int, COLORREF> colours = {{COLOR_WINDOW, RGB(255, 255, 255)},
                                                  {COLOR_WINDOWTEXT, RGB(0, 0, 0)},
                                                  {COLOR_HIGHLIGHT, RGB(55, 0, 110)},
                                                  {COLOR_BTNFACE, RGB(255, 255, 255)},
                                                  {COLOR_BTNTEXT, RGB(0, 0, 0)}};
  const auto found = colours.find(index);
  return found != colours.end() ? found->second : RGB(1, 2, 3);
}

// And "High Contrast Black", where a white page would blind and grey
// symbols vanish.
COLORREF HighContrastBlack(int index) {
  const COLORREF white = HighContrastWhite(index);
  return index == COLOR_HIGHLIGHT
             ? RGB(26, 235, 255)
             : RGB(255 - GetRValue(white), 255 - GetGValue(white), 255 - GetBValue(white));
}

int Contrast(COLORREF a, COLORREF b) {
  return abs(GetRValue(a) - GetRValue(b)) + abs(GetGValue(a) - GetGValue(b)) +
         abs(GetBValue(a) - GetBValue(b));
}

TEST(DialogColours, HighContrastTakesEveryColourFromTheTheme) {
  // Off: the white page and the bar's own colours, whatever the theme says,
  // so that the dialog looks as it always has.
  const DialogColours normal = DialogColours::Choose(false, &HighContrastBlack);
  EXPECT_FALSE(normal.high_contrast);
  EXPECT_EQ(normal.background, RGB(255, 255, 255));
  EXPECT_EQ(normal.bar, static_cast<COLORREF>(CLR_DEFAULT));
  EXPECT_EQ(normal.symbol, RGB(128, 128, 128));
  EXPECT_EQ(normal.text, static_cast<COLORREF>(CLR_DEFAULT));

  for (auto theme : {&HighContrastBlack, &HighContrastWhite}) {
    const DialogColours colours = DialogColours::Choose(true, theme);
    EXPECT_TRUE(colours.high_contrast);
    EXPECT_EQ(colours.background, theme(COLOR_WINDOW));
    EXPECT_EQ(colours.text, theme(COLOR_WINDOWTEXT));
    EXPECT_EQ(colours.bar, theme(COLOR_HIGHLIGHT));
    EXPECT_EQ(colours.bar_background, theme(COLOR_WINDOW));
    // The symbols keep the theme's contrast on either background.
    EXPECT_GE(Contrast(colours.symbol, colours.symbol_background), 3 * 255);
    EXPECT_FALSE(colours == normal);
  }
}

bool Blueish(COLORREF c) { return GetBValue(c) > GetRValue(c) + 60; }

TEST(DialogPictures, DrawnSharpAtTheSizeOfEachScale) {
  for (int dpi : {120, 144, 192, 240}) {
    const double scale = dpi / 96.0;
    const Picture logo = Picture::Logo(scale);
    EXPECT_EQ(logo.Width(), MulDiv(179, dpi, 96));
    EXPECT_EQ(logo.Height(), MulDiv(228, dpi, 96));
    // White corners, the blue box where it lies at 96 DPI times the scale,
    // the white tray inside it.
    EXPECT_EQ(logo.Pixel(0, 0), RGB(255, 255, 255));
    EXPECT_TRUE(Blueish(logo.Pixel(static_cast<int>(20 * scale), static_cast<int>(100 * scale))));
    EXPECT_EQ(logo.Pixel(static_cast<int>(89 * scale), static_cast<int>(146 * scale)),
              RGB(255, 255, 255));
    // Sharp: a step from white to the box's edge takes at most one pixel of
    // blend, however large the scale.
    const int row = static_cast<int>(100 * scale);
    int blended = 0;
    for (int x = 0; x < static_cast<int>(30 * scale); ++x) {
      const COLORREF c = logo.Pixel(x, row);
      if (c != RGB(255, 255, 255) && !Blueish(c)) ++blended;
    }
    EXPECT_LE(blended, 1) << dpi;
  }

  const COLORREF ink = RGB(255, 255, 255), paper = RGB(0, 0, 0);
  const Picture pause = Picture::PauseSymbol(50, ink, paper);
  EXPECT_EQ(pause.Pixel(0, 0), paper);
  EXPECT_EQ(pause.Pixel(17, 25), ink);    // the left bar
  EXPECT_EQ(pause.Pixel(33, 25), ink);    // the right bar
  EXPECT_EQ(pause.Pixel(25, 25), paper);  // between them
  const Picture resume = Picture::ResumeSymbol(38, ink, paper);
  EXPECT_EQ(resume.Pixel(15, 19), ink);
  EXPECT_EQ(resume.Pixel(35, 19), paper);  // past the tip
}

}  // namespace
