#pragma once

#include <windows.h>

#include <functional>
#include <utility>
#include <vector>

// The dialog's pictures drawn as shapes, sharp at any size: the logo for
// scales the program file holds no picture for, and the pause and resume
// symbols at every scale but 96 DPI and in high contrast. The shapes are
// those of scripts/make_images.py, which draws the 96 DPI pictures.
class Picture {
 public:
  Picture(int width, int height, COLORREF background);

  int Width() const { return width_; }
  int Height() const { return height_; }
  COLORREF Pixel(int x, int y) const { return pixels_[static_cast<size_t>(y) * width_ + x]; }

  // Covers what `inside` holds within the box (left, top, right, bottom),
  // with smooth edges: each pixel blends in the share of 16 points in it
  // that the shape covers.
  using Shape = std::function<bool(double x, double y)>;
  using Paint = std::function<COLORREF(double y)>;
  void Fill(const Shape& inside, double left, double top, double right, double bottom,
            const Paint& colour);
  void FillRoundedRect(double left, double top, double right, double bottom, double radius,
                       const Paint& colour);
  void FillPolygon(const std::vector<std::pair<double, double>>& points, const Paint& colour);

  // A bitmap of the picture (a DIB section), owned by the caller.
  HBITMAP ToBitmap() const;

  // The logo at 96 DPI times `scale`.
  static Picture Logo(double scale);
  // The pause (two bars) and resume (a triangle) symbols, `size` pixels
  // square, in `ink` on `paper`.
  static Picture PauseSymbol(int size, COLORREF ink, COLORREF paper);
  static Picture ResumeSymbol(int size, COLORREF ink, COLORREF paper);

 private:
  int width_;
  int height_;
  std::vector<COLORREF> pixels_;
};
