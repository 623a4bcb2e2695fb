// Optical flow at output resolution and the warp of the previous result onto the current frame.
#pragma once

#include <ATen/core/Tensor.h>

namespace magnifex {

// `lr_flow` ([N, 2, h, w], pixels) at s times the resolution, bilinear, in output pixels.
at::Tensor upscale_flow(const at::Tensor& lr_flow, int s);

// `image` ([N, C, H, W]) sampled at each pixel's position plus its flow ([N, 2, H, W]: x, then y,
// pointing into `image`): bicubic, positions outside take the border value. A zero flow returns
// the image itself.
at::Tensor warp_by_flow(const at::Tensor& image, const at::Tensor& flow);

// The same in two steps, so that images following one flow share its grid: the sampling positions
// ([N, H, W, 2], in the sampler's [-1, 1] units) and the bicubic border-clamped sampling.
at::Tensor sampling_grid(const at::Tensor& flow);
at::Tensor warp_by_grid(const at::Tensor& image, const at::Tensor& grid);

// x ([B, C, H, W]) in blocks of s x s: [B, s*s*C, H/s, W/s], where output channel (i*s + j)*C + c
// holds input channel c at row offset i and column offset j of each block (not pixel_unshuffle's
// order).
at::Tensor space_to_depth(const at::Tensor& x, int s);

} // namespace magnifex
