// NaN and infinite input values, kept away from the networks. CG renders carry a few such pixels;
// a network's reach (and, in sequence mode, the state carried from frame to frame) would spread one
// of them over its whole patch, or the whole shot. The networks see a finite stand-in instead, and
// the values come back afterwards at their own place: a NaN in is a NaN out, in the S x S pixels it
// upscales to.
#pragma once

#include <cstdint>

#include <ATen/core/Tensor.h>

namespace magnifex {

class NonFiniteValues {
public:
  // None.
  NonFiniteValues() = default;
  // Those of a linear pipeline image [1, C, H, W] (rows top to bottom), in the channel layout the
  // networks take and give.
  explicit NonFiniteValues(const at::Tensor& image);

  bool empty() const { return count() == 0; }
  int64_t count() const { return points_.defined() ? points_.size(0) : 0; }

  // Takes in those of `part`, found in an image whose row 0 and column 0 are this one's `top` and
  // `left` (an input patch placed in its frame).
  void add(const NonFiniteValues& part, int64_t top, int64_t left);

  // `region` ([1, C, n, m], linear, the result of these values' image at `scale`: output rows
  // first_row .. and columns first_column ..) with each value put back in the pixels it upscales to.
  at::Tensor restored(const at::Tensor& region, int scale, int64_t first_row, int64_t first_column) const;

private:
  at::Tensor points_; // [K, 3] int64 on the CPU: channel, row, column of each value
  at::Tensor values_; // [K] float32 on the CPU
};

// The image ([1, C, H, W]) with each NaN or infinite value replaced by the mean of its finite
// neighbours in that channel, the neighbourhood growing over a few rounds; what is still unfilled
// then (a large hole) takes the mean of the channel's finite values, or 0 when it has none. The
// image itself when every value is finite.
at::Tensor with_finite_stand_ins(const at::Tensor& image);

} // namespace magnifex
