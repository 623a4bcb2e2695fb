// Whether this CPU computes BFloat16 natively: what the 16-bit passes on the CPU depend on.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace magnifex {

struct CpuBFloat16 {
  bool native = false;
  std::string units;    // the instruction sets that give it, "AMX-BF16, AVX512-BF16"; empty without
  bool enabled = false; // the process asked for BFloat16 passes (MAGNIFEX_CPU_BFLOAT16): CPU renders
                        // stay float32, bit for bit as they always were, unless a studio opts in
};

// The environment variable that opts a process in, and the rule over its value: "1", "true", "on"
// or "yes" in any case; anything else (unset included) keeps float32.
constexpr const char* kCpuBFloat16Variable = "MAGNIFEX_CPU_BFLOAT16";
bool cpu_bfloat16_requested(const char* value);

// The rule over the CPU's instruction-set flags as libtorch's cpuinfo names them ("amx_bf16",
// "avx512_bf16", ...): native where a BFloat16 compute set is present and libtorch has oneDNN,
// whose kernels use it (without them a BFloat16 convolution is far slower than float32).
CpuBFloat16 cpu_bfloat16_from(const std::vector<std::pair<std::string, bool>>& flags, bool has_onednn);

// This process's CPU, as the linked libtorch reports it, and its environment; decided once.
const CpuBFloat16& this_cpu_bfloat16();

} // namespace magnifex
