#include "app/dialoglook.h"

#include <commctrl.h>
#include <uxtheme.h>

#include "app/dialogpictures.h"
#include "app/resource.h"

namespace {

constexpr int kButtonImageSize = 25;

HFONT CreateTextFont(int pixels_per_inch) {
  return ::CreateFontW(DialogLook::FontHeight(pixels_per_inch), 0, 0, 0, 0, FALSE, FALSE, FALSE, 0,
                       0, 0, 0, 0, L"Arial");
}

HBITMAP LoadButtonImage(HINSTANCE instance, int id) {
  return static_cast<HBITMAP>(::LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_BITMAP,
                                           kButtonImageSize, kButtonImageSize, LR_SHARED));
}

void SetFont(HWND dialog, int id, const UniqueGdiObject& font) {
  ::SendDlgItemMessageW(dialog, id, WM_SETFONT, reinterpret_cast<WPARAM>(font.Get()), TRUE);
}

}  // namespace

int DialogLook::FontHeight(int pixels_per_inch) { return -::MulDiv(10, pixels_per_inch, 72); }

int DialogLook::ScreenPixelsPerInch() {
  HDC screen = ::GetDC(nullptr);
  const int pixels = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);
  return pixels;
}

int DialogLook::WindowDpi(HWND window) {
  // Windows 10 1607 and later; before, every monitor has the system's scale.
  using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
  static const auto get_dpi = reinterpret_cast<GetDpiForWindowFunction>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  const UINT dpi = get_dpi != nullptr ? get_dpi(window) : 0;
  return dpi != 0 ? static_cast<int>(dpi) : ScreenPixelsPerInch();
}

void DialogLook::Apply(HWND dialog, HINSTANCE instance, int pixels_per_inch) {
  colours_ = DialogColours::OfSystem();
  if (colours_.high_contrast) SetColours(dialog, instance, colours_, false);
  Rescale(dialog, instance, pixels_per_inch, false);

  // The label column's rectangle reaches under the values column, and a
  // static control fills its whole rectangle white: without clipping, the
  // labels would paint over the values whenever they repaint.
  HWND labels = ::GetDlgItem(dialog, IDC_LABELS);
  ::SetWindowLongW(labels, GWL_STYLE, ::GetWindowLongW(labels, GWL_STYLE) | WS_CLIPSIBLINGS);

  ::ShowWindow(::GetDlgItem(dialog, IDC_PAUSE), SW_HIDE);
  ::ShowWindow(::GetDlgItem(dialog, IDC_TIP), SW_HIDE);
}

void DialogLook::Rescale(HWND dialog, HINSTANCE instance, int pixels_per_inch, bool paused) {
  dpi_ = pixels_per_inch;
  // The controls take the new fonts before the old ones go.
  UniqueGdiObject text_font(CreateTextFont(pixels_per_inch));
  for (int id : {IDC_MESSAGE, IDC_LABELS, IDC_VALUES, IDC_PROGRESS}) SetFont(dialog, id, text_font);
  UniqueGdiObject tip_font(CreateTextFont(pixels_per_inch));
  SetFont(dialog, IDC_TIP, tip_font);
  text_font_ = std::move(text_font);
  tip_font_ = std::move(tip_font);
  LoadButtonImages(dialog, instance, paused);
  LoadLogo(dialog, instance);
}

void DialogLook::LoadButtonImages(HWND dialog, HINSTANCE instance, bool paused) {
  UniqueGdiObject drawn_pause, drawn_resume;
  if (dpi_ == 96 && !colours_.high_contrast) {
    pause_image_ = LoadButtonImage(instance, IDB_PAUSE);
    resume_image_ = LoadButtonImage(instance, IDB_RESUME);
  } else {
    const int size = ::MulDiv(kButtonImageSize, dpi_, 96);
    drawn_pause.Reset(
        Picture::PauseSymbol(size, colours_.symbol, colours_.symbol_background).ToBitmap());
    drawn_resume.Reset(
        Picture::ResumeSymbol(size, colours_.symbol, colours_.symbol_background).ToBitmap());
    pause_image_ = static_cast<HBITMAP>(drawn_pause.Get());
    resume_image_ = static_cast<HBITMAP>(drawn_resume.Get());
  }
  ::SendDlgItemMessageW(dialog, IDC_PAUSE, BM_SETIMAGE, IMAGE_BITMAP,
                        reinterpret_cast<LPARAM>(paused ? resume_image_ : pause_image_));
  // The button no longer shows the old ones.
  drawn_pause_ = std::move(drawn_pause);
  drawn_resume_ = std::move(drawn_resume);
}

void DialogLook::LoadLogo(HWND dialog, HINSTANCE instance) {
  if (dpi_ == logo_dpi_) return;
  UniqueGdiObject logo(
      dpi_ == 96 ? ::LoadImageW(instance, MAKEINTRESOURCEW(IDB_LOGO), IMAGE_BITMAP, 0, 0, 0)
                 : Picture::Logo(dpi_ / 96.0).ToBitmap());
  ::SendDlgItemMessageW(dialog, IDC_LOGO, STM_SETIMAGE, IMAGE_BITMAP,
                        reinterpret_cast<LPARAM>(logo.Get()));
  // The template's own logo stays with its control, which frees it.
  logo_ = std::move(logo);
  logo_dpi_ = dpi_;
}

bool DialogLook::TakeSystemColours(HWND dialog, HINSTANCE instance, bool paused) {
  const DialogColours colours = DialogColours::OfSystem();
  if (colours == colours_) return false;
  SetColours(dialog, instance, colours, paused);
  return true;
}

void DialogLook::SetColours(HWND dialog, HINSTANCE instance, const DialogColours& colours,
                            bool paused) {
  colours_ = colours;
  // A themed bar keeps its theme's colours whatever it is told; in high
  // contrast it goes without (as Windows' own bars do then).
  HWND bar = ::GetDlgItem(dialog, IDC_PROGRESS);
  if (colours.high_contrast) {
    ::SetWindowTheme(bar, L" ", L" ");
  } else {
    ::SetWindowTheme(bar, nullptr, nullptr);
  }
  ::SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_SETBARCOLOR, 0, colours.bar);
  ::SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_SETBKCOLOR, 0, colours.bar_background);
  LoadButtonImages(dialog, instance, paused);
}

void DialogLook::PaintBackground(HWND dialog, COLORREF background) {
  RECT client;
  ::GetClientRect(dialog, &client);
  PAINTSTRUCT paint;
  HDC dc = ::BeginPaint(dialog, &paint);
  if (dc == nullptr) return;
  UniqueGdiObject brush(::CreateSolidBrush(background));
  ::FillRect(dc, &client, static_cast<HBRUSH>(brush.Get()));
  ::EndPaint(dialog, &paint);
}

HBRUSH DialogLook::ColourStatic(HDC dc, const DialogColours& colours) {
  if (colours.text != CLR_DEFAULT) ::SetTextColor(dc, colours.text);
  ::SetBkColor(dc, colours.background);
  ::SetDCBrushColor(dc, colours.background);
  return static_cast<HBRUSH>(::GetStockObject(DC_BRUSH));
}
