#include "render/sequence/FlowWarp.h"

#include <algorithm>
#include <stdexcept>

#include <ATen/TensorOperators.h>
#include <ATen/ops/arange.h>
#include <ATen/ops/grid_sampler.h>
#include <ATen/ops/stack.h>
#include <ATen/ops/tensor.h>
#include <ATen/ops/upsample_bilinear2d.h>

namespace magnifex {

at::Tensor upscale_flow(const at::Tensor& lr_flow, int s)
{
  const std::vector<int64_t> size{lr_flow.size(2) * s, lr_flow.size(3) * s};
  return at::upsample_bilinear2d(lr_flow, size, false, double(s), double(s)) * double(s);
}

at::Tensor sampling_grid(const at::Tensor& flow)
{
  const int64_t H = flow.size(2), W = flow.size(3);
  const at::TensorOptions options = flow.options().dtype(at::kFloat);
  // Each pixel's position plus its flow, normalised to [-1, 1] across pixel centres (align_corners),
  // built directly in the [N, H, W, 2] layout the sampler reads.
  const at::Tensor positions = at::stack(
    {at::arange(W, options).view({1, W}).expand({H, W}), at::arange(H, options).view({H, 1}).expand({H, W})}, 2);
  const at::Tensor to_unit = at::tensor(
    {float(2.0 / double(std::max<int64_t>(W - 1, 1))), float(2.0 / double(std::max<int64_t>(H - 1, 1)))}, options);
  return (positions + flow.to(at::kFloat).permute({0, 2, 3, 1})) * to_unit - 1.0;
}

at::Tensor warp_by_grid(const at::Tensor& image, const at::Tensor& grid)
{
  constexpr int64_t kBicubic = 2, kBorder = 1;
  return at::grid_sampler(image, grid.to(image.scalar_type()), kBicubic, kBorder, true);
}

at::Tensor warp_by_flow(const at::Tensor& image, const at::Tensor& flow)
{
  return warp_by_grid(image, sampling_grid(flow));
}

at::Tensor space_to_depth(const at::Tensor& x, int s)
{
  const int64_t B = x.size(0), C = x.size(1), H = x.size(2), W = x.size(3);
  if (H % s != 0 || W % s != 0)
    throw std::invalid_argument("space_to_depth: a " + std::to_string(W) + " x " + std::to_string(H) +
                                " image is not made of " + std::to_string(s) + " x " + std::to_string(s) + " blocks");
  return x.reshape({B, C, H / s, s, W / s, s}).permute({0, 3, 5, 1, 2, 4}).reshape({B, s * s * C, H / s, W / s});
}

} // namespace magnifex
