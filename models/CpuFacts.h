// Whether this CPU computes BFloat16 natively: what the 16-bit passes on the CPU depend on.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace magnifex {

struct CpuBFloat16 {
  bool native = false;
  std::string units; // the instruction sets that give it, "AMX-BF16, AVX512-BF16"; empty without
};

// The rule over the CPU's instruction-set flags as libtorch's cpuinfo names them ("amx_bf16",
// "avx512_bf16", ...): native where a BFloat16 compute set is present and libtorch has oneDNN,
// whose kernels use it (without them a BFloat16 convolution is far slower than float32).
CpuBFloat16 cpu_bfloat16_from(const std::vector<std::pair<std::string, bool>>& flags, bool has_onednn);

// This process's CPU, as the linked libtorch reports it; decided once.
const CpuBFloat16& this_cpu_bfloat16();

} // namespace magnifex
