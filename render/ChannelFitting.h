// Fitting the channel count of image tensors ([1, C, H, W]) to what a network takes and to what
// an output plane holds.
#pragma once

#include <ATen/core/Tensor.h>

namespace magnifex {

// The networks' input: more channels than `target` keep the first ones; a single channel is
// repeated three times (grey to RGB); what is still missing is filled with channels of ones
// (a missing alpha is opaque).
at::Tensor fit_network_channels(const at::Tensor& image, int target);

// The output plane's count: missing channels are filled with ones (an alpha of 1, and the same for
// any further channel), surplus ones dropped from the end.
at::Tensor fit_output_channels(const at::Tensor& image, int n_out);

} // namespace magnifex
