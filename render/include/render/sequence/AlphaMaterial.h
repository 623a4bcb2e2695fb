// The material types with alpha (CG and Hybrid): their input encoding, the colour-only input of
// their second (B) path, and how the two paths' results combine.
#pragma once

#include <ATen/core/Tensor.h>

namespace magnifex {

// A patch [1, 4, h, w] of linear RGBA as the main path sees it: channels 0 to 2
// logEncode(max(RGB, 0) / A) * A (0 where A is 0), channel 3 A, with A clamped to [0, 1].
at::Tensor prepare_alpha_input(const at::Tensor& rgba);

// The B path's input from the main path's input: the LogC encoding of premultiplied linear colour,
// [1, 3, h, w]. An alpha of 0 gives the encoding of black.
at::Tensor colour_variant(const at::Tensor& tensor_image);

// The patch result: colour from the B path (decoded, negatives clamped to 0, premultiplied as it
// stands) and alpha from the main path (clamped to [0, 1]): [1, 4, sh, sw].
at::Tensor recombine_alpha(const at::Tensor& hr_prev, const at::Tensor& hr_prevB);

} // namespace magnifex
