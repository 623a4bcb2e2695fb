// Fitting the channel count of image tensors ([1, C, H, W]) to what a network takes. (The output
// plane's count is fitted by the write-back.)
#pragma once

#include <cstdint>
#include <vector>

#include <ATen/core/Tensor.h>

namespace magnifex {

// The networks' input: more channels than `target` keep the first ones; a single channel is
// repeated three times (grey to RGB); what is still missing is filled with channels of ones
// (a missing alpha is opaque).
at::Tensor fit_network_channels(const at::Tensor& image, int target);

// Which result channel each output component takes, so that a component is the same whichever
// other channels are asked for with it. `read_positions[k]` is the position of the output's k-th
// channel among the channels read (-1: not read); `alpha_index` is alpha's position among them when
// the material carries alpha (the result's channel `colour_channels`), else -1. The colour
// channels read fill the result's first `colour_channels` in their order. -1: the component is 1.0.
std::vector<int64_t> result_channel_sources(const std::vector<int>& read_positions, int alpha_index,
                                            int colour_channels = 3);

} // namespace magnifex
