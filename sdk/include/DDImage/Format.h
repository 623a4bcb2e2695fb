#pragma once

#include <string>

#include "Box.h"
#include "DDImage_API.h"

namespace DD {
namespace Image {

// An image format: its box, size, pixel aspect ratio and name.
class DDImage_API Format : public Box {
public:
  Format() : Box(0, 0, 1, 1), width_(1), height_(1), pixel_aspect_(1.0) {}
  Format(int w, int h, double pixel_aspect = 1.0) : Box(0, 0, w, h), width_(w), height_(h), pixel_aspect_(pixel_aspect)
  {}

  int width() const { return width_; }
  int height() const { return height_; }
  double pixel_aspect() const { return pixel_aspect_; }
  const char* name() const { return name_.c_str(); }

  void width(int w) { width_ = w; }
  void height(int h) { height_ = h; }
  void pixel_aspect(double pa) { pixel_aspect_ = pa; }
  void name(const char* n) { name_ = n ? n : ""; }

private:
  int width_, height_;
  double pixel_aspect_;
  std::string name_;
};

} // namespace Image
} // namespace DD
