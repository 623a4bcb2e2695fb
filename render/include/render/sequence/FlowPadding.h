// The flow network sees patches padded on the right and bottom to multiples of 8 and at least
// 128 x 128; its flow is cropped back to the patch.
#pragma once

#include <ATen/core/Tensor.h>

namespace magnifex {

struct FlowPadding {
  int right = 0, bottom = 0; // columns and rows of zeros added
  bool any() const { return right > 0 || bottom > 0; }
};

// For an h x w patch: when either side is not a multiple of 8 both sides gain 8 - (side mod 8)
// (so a side already divisible gains 8); then each side is raised to 128 when below.
FlowPadding flow_padding(int h, int w);

// The patch padded with zeros, keeping at most its first three channels.
at::Tensor pad_for_flow(const at::Tensor& patch, const FlowPadding& padding);

// The flow of the padded patch cut back to the first h rows and w columns.
at::Tensor crop_flow(const at::Tensor& flow, const FlowPadding& padding, int h, int w);

} // namespace magnifex
