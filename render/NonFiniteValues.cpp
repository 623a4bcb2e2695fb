#include "render/NonFiniteValues.h"

#include <ATen/TensorIndexing.h>
#include <ATen/TensorOperators.h>
#include <ATen/ops/arange.h>
#include <ATen/ops/avg_pool2d.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/isfinite.h>
#include <ATen/ops/nan_to_num.h>
#include <ATen/ops/ones_like.h>
#include <ATen/ops/tensor.h>
#include <ATen/ops/where.h>
#include <ATen/ops/zeros_like.h>

namespace magnifex {

namespace {

// Rounds of neighbourhood growth before a hole takes its channel's mean: enough for the few-pixel
// holes of a render, cheap for a frame of them.
constexpr int kFillRounds = 8;

} // namespace

NonFiniteValues::NonFiniteValues(const at::Tensor& image)
{
  const at::Tensor bad = at::isfinite(image.select(0, 0)).logical_not();
  if (!bad.any().item<bool>())
    return;
  points_ = bad.nonzero().cpu();
  values_ = image.select(0, 0).index({bad}).to(at::kFloat).cpu();
}

void NonFiniteValues::add(const NonFiniteValues& part, int64_t top, int64_t left)
{
  if (part.empty())
    return;
  const at::Tensor placed = part.points_ + at::tensor({int64_t(0), top, left}, at::kLong);
  if (empty()) {
    points_ = placed;
    values_ = part.values_;
  } else {
    points_ = at::cat({points_, placed}, 0);
    values_ = at::cat({values_, part.values_}, 0);
  }
}

at::Tensor NonFiniteValues::restored(const at::Tensor& region, int scale, int64_t first_row, int64_t first_column) const
{
  if (empty())
    return region;
  using at::indexing::Slice;
  const int64_t C = region.size(1), n = region.size(2), m = region.size(3);
  const at::Tensor channel = points_.select(1, 0), row = points_.select(1, 1), column = points_.select(1, 2);
  at::Tensor out = region.clone();
  for (int dy = 0; dy < scale; ++dy)
    for (int dx = 0; dx < scale; ++dx) {
      const at::Tensor y = row * scale + dy - first_row, x = column * scale + dx - first_column;
      const at::Tensor inside = (channel < C) & (y >= 0) & (y < n) & (x >= 0) & (x < m);
      if (!inside.any().item<bool>())
        continue;
      const at::Tensor c = channel.index({inside}).to(out.device());
      out.select(0, 0).index_put_({c, y.index({inside}).to(out.device()), x.index({inside}).to(out.device())},
                                  values_.index({inside}).to(out.device(), out.scalar_type()));
    }
  return out;
}

at::Tensor with_finite_stand_ins(const at::Tensor& image)
{
  at::Tensor holes = at::isfinite(image).logical_not();
  if (!holes.any().item<bool>())
    return image;
  at::Tensor known = holes.logical_not().to(image.scalar_type());
  at::Tensor values = at::where(holes, at::zeros_like(image), image);
  // The mean over a 3 x 3 neighbourhood of the values known so far, grown round by round; sums of
  // huge finite values may overflow, and a stand-in must stay finite.
  for (int round = 0; round < kFillRounds && holes.any().item<bool>(); ++round) {
    const at::Tensor sum = at::avg_pool2d(values * known, {3, 3}, {1, 1}, {1, 1}, false, true);
    const at::Tensor weight = at::avg_pool2d(known, {3, 3}, {1, 1}, {1, 1}, false, true);
    const at::Tensor reached = holes & (weight > 0);
    values = at::where(reached, at::nan_to_num(sum / weight, 0.0, 0.0, 0.0), values);
    known = at::where(reached, at::ones_like(known), known);
    holes = holes & reached.logical_not();
  }
  if (holes.any().item<bool>()) {
    const at::Tensor finite = at::isfinite(image);
    const at::Tensor count = finite.sum({2, 3}, true).to(image.scalar_type());
    const at::Tensor mean = at::nan_to_num(
      at::where(finite, image, at::zeros_like(image)).sum({2, 3}, true) / count.clamp_min(1.0), 0.0, 0.0, 0.0);
    values = at::where(holes, mean.expand_as(values), values);
  }
  return values;
}

} // namespace magnifex
