// The mixed-precision rule for super-resolution network passes.
#pragma once

#include <optional>
#include <string>

#include <c10/core/ScalarType.h>

#include "models/CpuFacts.h"

namespace torch::jit {
struct Module;
}

namespace magnifex {

// The 16-bit type a pass computes in, or none (float32). Only with mixed precision on. On the GPU:
// BFloat16 where the GPU supports it and the user wants it, Half otherwise. On the CPU: BFloat16
// where the CPU computes it natively, the process opted in and the user wants it (`cpu_bf16_usable`
// says the first two and the archive's consent); there is no fast Half on CPUs, so otherwise float32.
std::optional<c10::ScalarType> autocast_type(bool gpu_in_use, bool mixed_precision, bool use_bfloat16,
                                             bool gpu_bf16_capable, bool cpu_bf16_usable);

// What a CPU render's status line adds after "on CPU": nothing with mixed precision off,
// " in BFloat16 (AMX-BF16, ...)" when the passes run in it, else why they stay in float32.
std::string cpu_precision_note(bool mixed_precision, bool use_bfloat16, const CpuBFloat16& cpu, bool networks_allow);

// Whether an archive's passes may run in BFloat16 on the CPU: its `cpu_bfloat16` attribute, set
// from a measurement when its pack was made (networks whose features carry the picture in LogC
// lose too much in BFloat16's 8-bit mantissa). Archives without it, and no archive, stay float32.
bool allows_cpu_bfloat16(const torch::jit::Module& net);
// A blend of two archives may where both may.
void set_blend_cpu_bfloat16(torch::jit::Module& working, const torch::jit::Module& gan, const torch::jit::Module& psnr);

} // namespace magnifex
