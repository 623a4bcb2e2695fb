#include "render/sequence/FlowWarp.h"

#include <algorithm>
#include <stdexcept>

#include <ATen/TensorOperators.h>
#include <ATen/ops/arange.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/grid_sampler.h>
#include <ATen/ops/upsample_bilinear2d.h>

namespace magnifex {

at::Tensor upscale_flow(const at::Tensor& lr_flow, int s)
{
  const std::vector<int64_t> size{lr_flow.size(2) * s, lr_flow.size(3) * s};
  return at::upsample_bilinear2d(lr_flow, size, false, double(s), double(s)) * double(s);
}

at::Tensor warp_by_flow(const at::Tensor& image, const at::Tensor& flow)
{
  const int64_t N = image.size(0), H = image.size(2), W = image.size(3);
  const at::TensorOptions options = flow.options().dtype(at::kFloat);
  const at::Tensor gx = at::arange(W, options).view({1, 1, 1, W}).expand({N, 1, H, W});
  const at::Tensor gy = at::arange(H, options).view({1, 1, H, 1}).expand({N, 1, H, W});
  const at::Tensor v = at::cat({gx, gy}, 1) + flow.to(at::kFloat);
  // Normalised to [-1, 1] across pixel centres (align_corners).
  const at::Tensor vx = v.narrow(1, 0, 1) * (2.0 / double(std::max<int64_t>(W - 1, 1))) - 1.0;
  const at::Tensor vy = v.narrow(1, 1, 1) * (2.0 / double(std::max<int64_t>(H - 1, 1))) - 1.0;
  const at::Tensor grid = at::cat({vx, vy}, 1).permute({0, 2, 3, 1});
  constexpr int64_t kBicubic = 2, kBorder = 1;
  return at::grid_sampler(image, grid.to(image.scalar_type()), kBicubic, kBorder, true);
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
