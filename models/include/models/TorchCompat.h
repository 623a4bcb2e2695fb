// Every call whose spelling depends on the libtorch version, in one place, so an upgrade
// touches one file.
#pragma once

#include <ATen/core/Tensor.h>
#include <c10/core/ScalarType.h>

#include <optional>

namespace magnifex {

// Switches CUDA autocast for the calling thread; `compute_type` is the 16-bit type autocast
// computes in (without it autocast keeps its default, Half, whatever the inputs were cast to).
void set_cuda_autocast(bool enabled, std::optional<c10::ScalarType> compute_type = std::nullopt);
// Switches CPU autocast to BFloat16 for the calling thread.
void set_cpu_autocast(bool enabled);
// The autocast cast of a network input to a 16-bit type on CUDA (cached per tensor).
at::Tensor autocast_to(c10::ScalarType type, const at::Tensor& tensor);
void clear_autocast_cache();
// Gives cached GPU memory back; does nothing where no CUDA device was ever used.
void empty_cuda_cache();
// The TorchScript executor settings every open applies: no graph optimisation, static fusion.
void set_torchscript_executor_switches();

} // namespace magnifex
