#include "render/ChannelFitting.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include <ATen/ops/cat.h>
#include <ATen/ops/ones_like.h>

namespace magnifex {

namespace {

at::Tensor pad_with_ones(const at::Tensor& image, int target)
{
  const int64_t missing = target - image.size(1);
  if (missing <= 0)
    return image;
  const at::Tensor one = at::ones_like(image.narrow(1, 0, 1));
  return at::cat({image, one.expand({image.size(0), missing, image.size(2), image.size(3)})}, 1);
}

void require_channels(const at::Tensor& image)
{
  if (image.dim() != 4 || image.size(1) < 1)
    throw std::invalid_argument("an image tensor of shape [1, C >= 1, H, W] is needed, not " +
                                std::to_string(image.dim()) + " dimensions");
}

} // namespace

at::Tensor fit_network_channels(const at::Tensor& image, int target)
{
  require_channels(image);
  at::Tensor fitted = image;
  if (fitted.size(1) > target)
    fitted = fitted.narrow(1, 0, target);
  if (fitted.size(1) == 1 && target > 1)
    fitted = at::cat({fitted, fitted, fitted}, 1).narrow(1, 0, std::min(target, 3));
  return pad_with_ones(fitted, target);
}

std::vector<int64_t> result_channel_sources(const std::vector<int>& read_positions, int alpha_index,
                                            int colour_channels)
{
  std::vector<int64_t> sources;
  sources.reserve(read_positions.size());
  for (const int p : read_positions) {
    if (p < 0)
      sources.push_back(-1);
    else if (alpha_index >= 0 && p == alpha_index)
      sources.push_back(colour_channels);
    else {
      const int colour = alpha_index >= 0 && p > alpha_index ? p - 1 : p;
      sources.push_back(colour < colour_channels ? colour : -1);
    }
  }
  return sources;
}

} // namespace magnifex
