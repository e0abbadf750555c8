#include "app/dialogpictures.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlue = RGB(31, 87, 160);
constexpr COLORREF kLightBlue = RGB(86, 156, 226);
constexpr COLORREF kPaleBlue = RGB(170, 200, 235);
constexpr int kSamples = 4;

BYTE Mix(BYTE under, BYTE over, double share) {
  return static_cast<BYTE>(std::lround(under + (over - under) * share));
}

COLORREF Blend(COLORREF under, COLORREF over, double share) {
  return RGB(Mix(GetRValue(under), GetRValue(over), share),
             Mix(GetGValue(under), GetGValue(over), share),
             Mix(GetBValue(under), GetBValue(over), share));
}

Picture::Paint Solid(COLORREF colour) {
  return [colour](double) { return colour; };
}

}  // namespace

Picture::Picture(int width, int height, COLORREF background)
    : width_(width), height_(height), pixels_(static_cast<size_t>(width) * height, background) {}

void Picture::Fill(const Shape& inside, double left, double top, double right, double bottom,
                   const Paint& colour) {
  const int x0 = std::max(static_cast<int>(left) - 1, 0);
  const int y0 = std::max(static_cast<int>(top) - 1, 0);
  const int x1 = std::min(static_cast<int>(right) + 2, width_);
  const int y1 = std::min(static_cast<int>(bottom) + 2, height_);
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) {
      int hits = 0;
      for (int sy = 0; sy < kSamples; ++sy) {
        for (int sx = 0; sx < kSamples; ++sx) {
          if (inside(x + (sx + 0.5) / kSamples, y + (sy + 0.5) / kSamples)) ++hits;
        }
      }
      if (hits == 0) continue;
      COLORREF& pixel = pixels_[static_cast<size_t>(y) * width_ + x];
      pixel = Blend(pixel, colour(y), static_cast<double>(hits) / (kSamples * kSamples));
    }
  }
}

void Picture::FillRoundedRect(double left, double top, double right, double bottom, double radius,
                              const Paint& colour) {
  Fill(
      [=](double x, double y) {
        if (x < left || x > right || y < top || y > bottom) return false;
        const double cx = std::min(std::max(x, left + radius), right - radius);
        const double cy = std::min(std::max(y, top + radius), bottom - radius);
        return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius;
      },
      left, top, right, bottom, colour);
}

void Picture::FillPolygon(const std::vector<std::pair<double, double>>& points,
                          const Paint& colour) {
  double left = points[0].first, right = left, top = points[0].second, bottom = top;
  for (const auto& [x, y] : points) {
    left = std::min(left, x);
    right = std::max(right, x);
    top = std::min(top, y);
    bottom = std::max(bottom, y);
  }
  Fill(
      [&points](double x, double y) {
        bool inside = false;
        for (size_t i = 0, j = points.size() - 1; i < points.size(); j = i++) {
          const auto [xi, yi] = points[i];
          const auto [xj, yj] = points[j];
          if ((yi > y) != (yj > y) && x < (xj - xi) * (y - yi) / (yj - yi) + xi) inside = !inside;
        }
        return inside;
      },
      left, top, right, bottom, colour);
}

HBITMAP Picture::ToBitmap() const {
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width_;
  info.bmiHeader.biHeight = -height_;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bitmap = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap == nullptr) return nullptr;
  auto* out = static_cast<DWORD*>(bits);
  for (size_t i = 0; i < pixels_.size(); ++i) {
    const COLORREF c = pixels_[i];
    out[i] =
        0xFF000000u | (static_cast<DWORD>(GetRValue(c)) << 16) | (GetGValue(c) << 8) | GetBValue(c);
  }
  return bitmap;
}

Picture Picture::Logo(double scale) {
  auto at = [scale](double value) { return value * scale; };
  Picture logo(static_cast<int>(179 * scale + 0.5), static_cast<int>(228 * scale + 0.5), kWhite);
  const double box_bottom = at(185);
  logo.FillRoundedRect(at(14), at(20), at(179 - 14), box_bottom, at(22), [=](double y) {
    return Blend(kLightBlue, kBlue, std::min(std::max(y / box_bottom, 0.0), 1.0));
  });
  // An arrow pointing down into a tray.
  const double size = at(120), left = at(29.5), top = at(38);
  std::vector<std::pair<double, double>> arrow;
  for (const auto& [x, y] : {std::pair{0.40, 0.12},
                             {0.60, 0.12},
                             {0.60, 0.45},
                             {0.78, 0.45},
                             {0.50, 0.74},
                             {0.22, 0.45},
                             {0.40, 0.45}}) {
    arrow.emplace_back(left + x * size, top + y * size);
  }
  logo.FillPolygon(arrow, Solid(kWhite));
  logo.FillRoundedRect(at(44), at(140), at(179 - 44), at(152), at(4), Solid(kWhite));
  const COLORREF shades[] = {kBlue, kLightBlue, kPaleBlue};
  for (int i = 0; i < 3; ++i) {
    const double bar = 30 + i * 42;
    logo.FillRoundedRect(at(bar), at(198), at(bar + 35), at(208), at(5), Solid(shades[i]));
  }
  return logo;
}

// Both symbols are designed on a square of 256.
Picture Picture::PauseSymbol(int size, COLORREF ink, COLORREF paper) {
  Picture symbol(size, size, paper);
  const double unit = size / 256.0;
  for (double left : {64.0, 144.0}) {
    symbol.FillRoundedRect(left * unit, 40 * unit, (left + 48) * unit, 216 * unit, 14 * unit,
                           Solid(ink));
  }
  return symbol;
}

Picture Picture::ResumeSymbol(int size, COLORREF ink, COLORREF paper) {
  Picture symbol(size, size, paper);
  const double unit = size / 256.0;
  symbol.FillPolygon({{72 * unit, 36 * unit}, {216 * unit, 128 * unit}, {72 * unit, 220 * unit}},
                     Solid(ink));
  return symbol;
}
