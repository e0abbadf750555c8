#include "app/dialoglook.h"

#include "app/resource.h"

namespace {

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr int kButtonImageSize = 25;

HFONT CreateTextFont(int pixels_per_inch) {
  return ::CreateFontW(DialogLook::FontHeight(pixels_per_inch), 0, 0, 0, 0, FALSE, FALSE, FALSE, 0,
                       0, 0, 0, 0, L"Arial");
}

HBITMAP LoadButtonImage(HINSTANCE instance, int id) {
  return static_cast<HBITMAP>(::LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_BITMAP,
                                           kButtonImageSize, kButtonImageSize, LR_SHARED));
}

}  // namespace

int DialogLook::FontHeight(int pixels_per_inch) { return -::MulDiv(10, pixels_per_inch, 72); }

int DialogLook::ScreenPixelsPerInch() {
  HDC screen = ::GetDC(nullptr);
  const int pixels = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);
  return pixels;
}

void DialogLook::Apply(HWND dialog, HINSTANCE instance, int pixels_per_inch) {
  text_font_.Reset(CreateTextFont(pixels_per_inch));
  for (int id : {IDC_MESSAGE, IDC_LABELS, IDC_VALUES, IDC_PROGRESS}) {
    ::SendDlgItemMessageW(dialog, id, WM_SETFONT, reinterpret_cast<WPARAM>(text_font_.Get()), TRUE);
  }
  tip_font_.Reset(CreateTextFont(pixels_per_inch));
  ::SendDlgItemMessageW(dialog, IDC_TIP, WM_SETFONT, reinterpret_cast<WPARAM>(tip_font_.Get()),
                        TRUE);

  // The label column's rectangle reaches under the values column, and a
  // static control fills its whole rectangle white: without clipping, the
  // labels would paint over the values whenever they repaint.
  HWND labels = ::GetDlgItem(dialog, IDC_LABELS);
  ::SetWindowLongW(labels, GWL_STYLE, ::GetWindowLongW(labels, GWL_STYLE) | WS_CLIPSIBLINGS);

  pause_image_ = LoadButtonImage(instance, IDB_PAUSE);
  resume_image_ = LoadButtonImage(instance, IDB_RESUME);
  ::ShowWindow(::GetDlgItem(dialog, IDC_PAUSE), SW_HIDE);
  ::SendDlgItemMessageW(dialog, IDC_PAUSE, BM_SETIMAGE, IMAGE_BITMAP,
                        reinterpret_cast<LPARAM>(pause_image_));
  ::ShowWindow(::GetDlgItem(dialog, IDC_TIP), SW_HIDE);
}

void DialogLook::PaintBackground(HWND dialog) {
  RECT client;
  ::GetClientRect(dialog, &client);
  PAINTSTRUCT paint;
  HDC dc = ::BeginPaint(dialog, &paint);
  if (dc == nullptr) return;
  UniqueGdiObject white(::CreateSolidBrush(kWhite));
  ::FillRect(dc, &client, static_cast<HBRUSH>(white.Get()));
  ::EndPaint(dialog, &paint);
}

HBRUSH DialogLook::ColourStatic(HDC dc) {
  ::SetBkColor(dc, kWhite);
  ::SetDCBrushColor(dc, kWhite);
  return static_cast<HBRUSH>(::GetStockObject(DC_BRUSH));
}
