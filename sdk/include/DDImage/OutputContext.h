#pragma once

#include "DDImage_API.h"

namespace DD {
namespace Image {

// Where an op is evaluated: the frame (and view) of the output.
class DDImage_API OutputContext {
public:
  OutputContext() : frame_(0.0), view_(1) {}

  double frame() const { return frame_; }
  void setFrame(double f) { frame_ = f; }
  int view() const { return view_; }
  void view(int v) { view_ = v; }

  bool operator==(const OutputContext& o) const { return frame_ == o.frame_ && view_ == o.view_; }
  bool operator!=(const OutputContext& o) const { return !(*this == o); }

private:
  double frame_;
  int view_;
};

} // namespace Image
} // namespace DD
