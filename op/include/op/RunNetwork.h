// The precision rule around one super-resolution network pass.
#pragma once

#include <vector>

#include <ATen/core/Tensor.h>
#include <torch/csrc/jit/api/module.h>

namespace magnifex {

// What the rule reads: the knobs, and what the GPU and the CPU compute natively.
struct PassPrecision {
  bool mixedprecision = false;
  bool use_bfloat16 = false;
  bool gpu_bf16_capable = false;
  // The CPU computes BFloat16 natively and the process opted in; the network must allow it too.
  bool cpu_bfloat16 = false;
};

at::Tensor run_network(const PassPrecision& precision, const torch::jit::Module& net, std::vector<c10::IValue> inputs,
                       bool gpu_in_use);

} // namespace magnifex
