// Moving pixels from the host's planes into the pipeline's image tensors. The host's rows run bottom
// to top, the pipeline's top to bottom: every way in flips once (and the write-back flips back).
#pragma once

#include <ATen/core/Tensor.h>
#include <c10/core/Device.h>

namespace magnifex {

// A [1, n, H, W] float32 CPU tensor holding the n*H*W floats of an unpacked plane (one full
// H x W plane per channel, rows from the bottom) in one block copy; pinned for fast uploads when
// a GPU is in use.
at::Tensor host_tensor_from_planes(const float* planes, int n, int H, int W, bool pinned);

// The host tensor on the device, rows flipped to run top to bottom.
at::Tensor to_pipeline(const at::Tensor& host_tensor, c10::Device device);

} // namespace magnifex
