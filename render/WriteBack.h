// The final output process: the accumulator back into linear values in the host's row order,
// fitted to the output plane's channels, ready for one block copy.
#pragma once

#include <ATen/core/Tensor.h>

#include "render/RenderHooks.h"

namespace magnifex {

// `accumulator` is [1, C, S*H, S*W] on the compute device, rows top to bottom. Still mode decodes
// here; sequence mode has decoded every patch already. Returns a contiguous CPU tensor
// [S*H, S*W, n_out], rows bottom to top.
at::Tensor final_output(at::Tensor accumulator, int n_out, bool decode, const RenderHooks& hooks);

} // namespace magnifex
