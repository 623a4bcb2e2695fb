// Fitting the channel count of image tensors ([1, C, H, W]) to what a network takes. (The output
// plane's count is fitted by the write-back.)
#pragma once

#include <ATen/core/Tensor.h>

namespace magnifex {

// The networks' input: more channels than `target` keep the first ones; a single channel is
// repeated three times (grey to RGB); what is still missing is filled with channels of ones
// (a missing alpha is opaque).
at::Tensor fit_network_channels(const at::Tensor& image, int target);

} // namespace magnifex
