// Cross-fading upscaled patches into one output accumulator.
#pragma once

#include <ATen/core/Tensor.h>
#include <c10/core/Device.h>

#include "render/PatchGrid.h"

namespace magnifex {

// Weights along one axis of a patch result n output pixels long (1-D float32 on the CPU).
// sPad and sOv are the pad and overlap in output pixels; `first` and `last` say whether the patch
// is the first or the last along this axis (a single patch is both).
at::Tensor axis_weights(int n, int sPad, int sOv, bool first, bool last);

// The mask of a patch whose network result is outH x outW: [1, 1, outH, outW] on `device`, the
// outer product of the row and column weights.
at::Tensor blend_mask(const PatchGrid& grid, const PatchRect& patch, int outH, int outW, int S, c10::Device device);

// Lays `result` ([1, c, S*h, S*w] for an h x w patch, c >= the accumulator's channels) over the accumulator at the
// patch's place with the mask, in place. Where the mask is 1 the patch replaces what is there,
// where it is 0 the earlier content stays, and equal values blend to themselves exactly.
void composite_patch(at::Tensor& accumulator, const at::Tensor& result, const at::Tensor& mask, const PatchRect& patch,
                     int S);

} // namespace magnifex
