#include "render/PatchBlend.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include <ATen/TensorOperators.h>
#include <ATen/ops/arange.h>
#include <ATen/ops/minimum.h>
#include <ATen/ops/ones.h>
#include <ATen/ops/outer.h>

namespace magnifex {

namespace {

at::Tensor positions(int n)
{
  return at::arange(n, at::TensorOptions().dtype(at::kFloat));
}

// 1 up to n - sPad, then a linear fall to 0 over sPad - max(2, sPad / 2) - 1 pixels.
at::Tensor fade_out(int n, int sPad)
{
  const float start = static_cast<float>(n - sPad);
  const float length = std::max(static_cast<float>(n - std::max(2, sPad / 2)) - 1.0f - start, 1e-5f);
  return 1.0f - ((positions(n) - start) / length).clamp(0.0, 1.0);
}

// 0 over the first sPad pixels, then a linear rise reaching 1 at sOv - sPad. Without an overlap
// no earlier patch covers the first pixel, so nothing fades in: the patch takes all of it.
at::Tensor fade_in(int n, int sPad, int sOv)
{
  if (sOv <= 0)
    return at::ones({n}, at::TensorOptions().dtype(at::kFloat));
  const float length = std::max(static_cast<float>(sOv - sPad) - static_cast<float>(sPad), 1e-5f);
  return ((positions(n) - static_cast<float>(sPad)) / length).clamp(0.0, 1.0);
}

} // namespace

at::Tensor axis_weights(int n, int sPad, int sOv, bool first, bool last)
{
  if (first)
    return last ? at::ones({n}, at::TensorOptions().dtype(at::kFloat)) : fade_out(n, sPad);
  const at::Tensor in = fade_in(n, sPad, sOv);
  return last ? in : at::minimum(in, fade_out(n, sPad));
}

at::Tensor blend_mask(const PatchGrid& g, const PatchRect& p, int outH, int outW, int S, c10::Device device)
{
  // A single row or column (rows == 1) has nothing to fade into: all ones along that axis.
  const at::Tensor wy = axis_weights(outH, S * g.padY, S * g.overlapY, p.row == 0, p.lastRow || g.rows == 1);
  const at::Tensor wx = axis_weights(outW, S * g.padX, S * g.overlapX, p.column == 0, p.lastColumn || g.columns == 1);
  return at::outer(wy, wx).view({1, 1, outH, outW}).to(device);
}

void composite_patch(at::Tensor& accumulator, const at::Tensor& result, const at::Tensor& mask, const PatchRect& p,
                     int S)
{
  const int64_t channels = accumulator.size(1);
  if (result.dim() != 4 || result.size(1) < channels)
    throw std::runtime_error("patch result has " + std::to_string(result.dim() == 4 ? result.size(1) : 0) +
                             " channels, the output needs " + std::to_string(channels));
  const int64_t outH = result.size(2), outW = result.size(3);
  // A result of any other size would land in the wrong place: the network broke its contract.
  if (outH != int64_t(S) * p.height() || outW != int64_t(S) * p.width())
    throw std::runtime_error("the network made " + std::to_string(outW) + " x " + std::to_string(outH) +
                             " pixels of a " + std::to_string(p.width()) + " x " + std::to_string(p.height()) +
                             " patch; " + std::to_string(S) + "x needs " + std::to_string(S * p.width()) + " x " +
                             std::to_string(S * p.height()));
  const int64_t top = int64_t(S) * p.yEnd - outH;
  const int64_t left = int64_t(S) * p.xStart;
  at::Tensor region = accumulator.slice(2, top, top + outH).slice(3, left, left + outW);
  // lerp is region * (1 - m) + result * m, computed so that m = 0, m = 1 and equal values are exact.
  region.lerp_(result.narrow(1, 0, channels), mask);
}

} // namespace magnifex
