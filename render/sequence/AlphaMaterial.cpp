#include "render/sequence/AlphaMaterial.h"

#include <ATen/TensorOperators.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/nan_to_num.h>

#include "render/LogEncoding.h"

namespace magnifex {

namespace {

at::Tensor alpha_of(const at::Tensor& image)
{
  return image.narrow(1, 3, 1).clamp(0.0, 1.0);
}

// Colour divided by alpha, with NaN and infinities (alpha 0) replaced by 0.
at::Tensor unpremultiplied(const at::Tensor& colour, const at::Tensor& alpha)
{
  return at::nan_to_num(colour / alpha, 0.0, 0.0, 0.0);
}

} // namespace

at::Tensor prepare_alpha_input(const at::Tensor& rgba)
{
  const at::Tensor alpha = alpha_of(rgba);
  const at::Tensor colour = rgba.narrow(1, 0, 3).clamp_min(0.0);
  return at::cat({logEncode(unpremultiplied(colour, alpha)) * alpha, alpha}, 1);
}

at::Tensor colour_variant(const at::Tensor& tensor_image)
{
  const at::Tensor alpha = alpha_of(tensor_image);
  return logEncode(logDecode(unpremultiplied(tensor_image.narrow(1, 0, 3), alpha)) * alpha);
}

at::Tensor recombine_alpha(const at::Tensor& hr_prev, const at::Tensor& hr_prevB)
{
  const at::Tensor colour = logDecode(hr_prevB.detach().narrow(1, 0, 3).clamp_min(0.0));
  return at::cat({colour, alpha_of(hr_prev)}, 1);
}

} // namespace magnifex
