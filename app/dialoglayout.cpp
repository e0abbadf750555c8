#include "app/dialoglayout.h"

#include <string>

#include "app/progressreadout.h"
#include "app/resource.h"

namespace {

// The gap between the longest label of the read-out and its value, at
// 96 DPI.
constexpr int kLabelGap = 6;

// The dialog manager places a control at MulDiv(units, base, divisor)
// pixels; finds the units back. Exact, since base >= divisor makes the
// mapping one to one.
int Units(int pixels, int base, int divisor) {
  int units = ::MulDiv(pixels, divisor, base);
  while (::MulDiv(units, base, divisor) < pixels) ++units;
  while (::MulDiv(units, base, divisor) > pixels) --units;
  return units;
}

// The template font's dialog base units at 96 DPI, measured the way the
// dialog manager measures them (the average width of the alphabet, the
// height of a line).
SIZE BaseUnitsAt96(HWND dialog, int dpi) {
  LOGFONTW font = {};
  ::GetObjectW(reinterpret_cast<HGDIOBJ>(::SendMessageW(dialog, WM_GETFONT, 0, 0)), sizeof(font),
               &font);
  const int points = ::MulDiv(font.lfHeight < 0 ? -font.lfHeight : font.lfHeight, 72, dpi);
  font.lfHeight = -::MulDiv(points, 96, 72);
  HFONT at96 = ::CreateFontIndirectW(&font);
  HDC dc = ::GetDC(nullptr);
  HGDIOBJ old = ::SelectObject(dc, at96);
  static constexpr wchar_t kAlphabet[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  SIZE extent = {};
  ::GetTextExtentPoint32W(dc, kAlphabet, 52, &extent);
  ::SelectObject(dc, old);
  ::ReleaseDC(nullptr, dc);
  ::DeleteObject(at96);
  return {(extent.cx / 26 + 1) / 2, extent.cy};
}

int ScreenDpi() {
  HDC screen = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);
  return dpi;
}

// The widest line of `text` in the control's font.
LONG WidestLine(HWND control, const std::wstring& text) {
  HDC dc = ::GetDC(control);
  HGDIOBJ old =
      ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageW(control, WM_GETFONT, 0, 0)));
  LONG widest = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) end = text.size();
    SIZE size = {};
    ::GetTextExtentPoint32W(dc, text.c_str() + start, static_cast<int>(end - start), &size);
    if (size.cx > widest) widest = size.cx;
    start = end + 2;
  }
  ::SelectObject(dc, old);
  ::ReleaseDC(control, dc);
  return widest;
}

}  // namespace

DialogLayout DialogLayout::FromTemplate(HWND dialog) {
  // The template was laid out at the system's scale, in its font's units.
  RECT base = {0, 0, 4, 8};
  ::MapDialogRect(dialog, &base);
  const SIZE at96 = BaseUnitsAt96(dialog, ScreenDpi());
  auto x96 = [&](LONG pixels) { return ::MulDiv(Units(pixels, base.right, 4), at96.cx, 4); };
  auto y96 = [&](LONG pixels) { return ::MulDiv(Units(pixels, base.bottom, 8), at96.cy, 8); };

  DialogLayout layout;
  RECT client;
  ::GetClientRect(dialog, &client);
  layout.client_ = {x96(client.right), y96(client.bottom)};
  for (HWND child = ::GetWindow(dialog, GW_CHILD); child != nullptr;
       child = ::GetWindow(child, GW_HWNDNEXT)) {
    RECT rect;
    ::GetWindowRect(child, &rect);
    ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
    const LONG width = rect.right - rect.left, height = rect.bottom - rect.top;
    Item item = {::GetDlgCtrlID(child), {}};
    item.rect.left = x96(rect.left);
    item.rect.top = y96(rect.top);
    const bool picture =
        (::GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP && item.id == IDC_LOGO;
    // A picture control takes its picture's size, which is a size at 96 DPI.
    item.rect.right = picture ? item.rect.left + width : item.rect.left + x96(width);
    item.rect.bottom = picture ? item.rect.top + height : item.rect.top + y96(height);
    layout.items_.push_back(item);
  }
  return layout;
}

RECT DialogLayout::Scale(const RECT& rect, int dpi) {
  return {Scale(rect.left, dpi), Scale(rect.top, dpi), Scale(rect.right, dpi),
          Scale(rect.bottom, dpi)};
}

SIZE DialogLayout::Client(int dpi) const {
  return {Scale(client_.cx, dpi), Scale(client_.cy, dpi)};
}

void DialogLayout::Apply(HWND dialog, int dpi) const {
  RECT labels = {};
  for (const Item& item : items_) {
    if (item.id == IDC_LABELS) labels = Scale(item.rect, dpi);
  }
  for (const Item& item : items_) {
    HWND control = ::GetDlgItem(dialog, item.id);
    RECT rect = Scale(item.rect, dpi);
    if (item.id == IDC_VALUES) {
      const LONG needed = labels.left +
                          WidestLine(::GetDlgItem(dialog, IDC_LABELS), ProgressReadout::kLabels) +
                          Scale(kLabelGap, dpi);
      if (rect.left < needed) rect.left = needed;
    }
    if (item.id == IDC_LOGO) {
      RECT own;
      ::GetClientRect(control, &own);
      rect.left += (rect.right - rect.left - own.right) / 2;
      rect.top += (rect.bottom - rect.top - own.bottom) / 2;
      rect.right = rect.left + own.right;
      rect.bottom = rect.top + own.bottom;
    }
    ::SetWindowPos(control, nullptr, rect.left, rect.top, rect.right - rect.left,
                   rect.bottom - rect.top, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  RECT window, client;
  ::GetWindowRect(dialog, &window);
  ::GetClientRect(dialog, &client);
  const SIZE size = Client(dpi);
  ::SetWindowPos(dialog, nullptr, 0, 0, window.right - window.left - client.right + size.cx,
                 window.bottom - window.top - client.bottom + size.cy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}
