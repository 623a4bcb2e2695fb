// Moving pixels between the host's planes and the pipeline's image tensors. The host's rows run
// bottom to top, the pipeline's top to bottom: every way in flips once, and so does every way out.
#pragma once

#include <cstddef>

#include <ATen/core/Tensor.h>
#include <c10/core/Device.h>

namespace magnifex {

// A [1, n, H, W] float32 CPU tensor holding the n*H*W floats of an unpacked plane (one full
// H x W plane per channel, rows from the bottom) in one block copy; pinned for fast uploads when
// a GPU is in use.
at::Tensor host_tensor_from_planes(const float* planes, int n, int H, int W, bool pinned);

// The host tensor on the device, rows flipped to run top to bottom.
at::Tensor to_pipeline(const at::Tensor& host_tensor, c10::Device device);

// The pipeline's [1, C, H, W] result as the host lays out a packed plane: rows flipped back to
// run bottom to top, the channels of a pixel side by side, contiguous, on the CPU.
at::Tensor to_packed_host_layout(const at::Tensor& image);

// Copies a packed host-layout tensor into a plane buffer of exactly `floats` floats, in one block.
void copy_to_plane(const at::Tensor& packed, float* buffer, std::size_t floats);

} // namespace magnifex
