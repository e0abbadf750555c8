#include "app/dialogcolours.h"

bool DialogColours::operator==(const DialogColours& other) const {
  return high_contrast == other.high_contrast && background == other.background &&
         text == other.text && bar == other.bar && bar_background == other.bar_background &&
         symbol == other.symbol && symbol_background == other.symbol_background;
}

DialogColours DialogColours::Choose(bool high_contrast,
                                    const std::function<COLORREF(int)>& system) {
  DialogColours colours;
  if (!high_contrast) return colours;
  colours.high_contrast = true;
  colours.text = system(COLOR_WINDOWTEXT);
  colours.background = system(COLOR_WINDOW);
  colours.bar = system(COLOR_HIGHLIGHT);
  colours.bar_background = system(COLOR_WINDOW);
  // The symbols sit on a button: the button's colours.
  colours.symbol = system(COLOR_BTNTEXT);
  colours.symbol_background = system(COLOR_BTNFACE);
  return colours;
}

DialogColours DialogColours::OfSystem() {
  HIGHCONTRASTW setting = {};
  setting.cbSize = sizeof(setting);
  const bool on = ::SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(setting), &setting, 0) &&
                  (setting.dwFlags & HCF_HIGHCONTRASTON) != 0;
  return Choose(on, [](int index) { return ::GetSysColor(index); });
}
