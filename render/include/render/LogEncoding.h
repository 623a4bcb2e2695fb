// The log encoding the networks see and produce: the ALEXA LogC3 curve at EI 800 and its inverse.
#pragma once

#include <ATen/core/Tensor.h>

namespace magnifex {

// Elementwise; both branches are computed and `where` picks one, so values at or below the cut
// (negatives, NaN) take the linear branch. Nothing is clamped.
at::Tensor logEncode(const at::Tensor& linear);

// The inverse, with the decode's own slope constant (0.2471896 rather than 0.24719): a round trip
// returns x to about 1e-5 relative.
at::Tensor logDecode(const at::Tensor& encoded);

} // namespace magnifex
