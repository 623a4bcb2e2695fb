// The mixed-precision rule for super-resolution network passes.
#pragma once

#include <optional>

#include <c10/core/ScalarType.h>

namespace magnifex {

// The 16-bit type a pass casts its inputs to, or none: only on the GPU with mixed precision,
// BFloat16 where the GPU supports it and the user wants it, Half otherwise.
std::optional<c10::ScalarType> autocast_type(bool gpu_in_use, bool mixed_precision, bool use_bfloat16,
                                             bool bf16_capable);

} // namespace magnifex
