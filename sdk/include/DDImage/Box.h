#pragma once

#include "DDImage_API.h"

namespace DD {
namespace Image {

// An integer rectangle: x, y inclusive, r, t exclusive (pixel (x, y) is the bottom-left one).
class DDImage_API Box {
public:
  Box() : x_(0), y_(0), r_(1), t_(1) {}
  Box(int x, int y, int r, int t) : x_(x), y_(y), r_(r), t_(t) {}

  int x() const { return x_; }
  int y() const { return y_; }
  int r() const { return r_; }
  int t() const { return t_; }
  int w() const { return r_ - x_; }
  int h() const { return t_ - y_; }

  void x(int v) { x_ = v; }
  void y(int v) { y_ = v; }
  void r(int v) { r_ = v; }
  void t(int v) { t_ = v; }
  void set(int x, int y, int r, int t)
  {
    x_ = x;
    y_ = y;
    r_ = r;
    t_ = t;
  }
  void set(const Box& b) { *this = b; }

  bool operator==(const Box& o) const { return x_ == o.x_ && y_ == o.y_ && r_ == o.r_ && t_ == o.t_; }
  bool operator!=(const Box& o) const { return !(*this == o); }

private:
  int x_, y_, r_, t_;
};

} // namespace Image
} // namespace DD
