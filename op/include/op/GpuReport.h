// The GPU and kernel report as pure functions: support table, build-configuration parsing and
// the texts shown in the panel and written at construction.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace magnifex {

// What the node learnt of the chosen GPU when it probed it; empty without CUDA.
struct GpuStatus {
  std::string gpu_name;
  std::string gpu_compute_capability;    // digits: "86"
  std::string native_compute_capability; // what the build's kernels were made for
  bool bf16_capable = false;             // Ampere and later
};

// Whether the build's kernels support a GPU of that compute capability (86 for 8.6) under the
// CUDA runtime version v (11080 for 11.8.0).
bool is_supported(int capability, long cuda_runtime_version);

// The integer value of a digits string as std::stoi reads it; empty when it is not a number
// or does not fit an int.
std::optional<int> parse_int(const std::string& text);

// Compute capability digits: major then minor ("86", "120").
std::string capability_digits(int major, int minor);

// The native capability of the build: the digits after the last 's', 'm' or '_' of the first
// "  - NVCC architecture flags: " line of the build configuration. Empty optional when there
// is no such line or no such character (the caller keeps its value).
std::optional<std::string> native_capability_from_config(const std::string& build_configuration);

// Native capability assumed for CUDA versions whose build configuration may lack the line.
std::string fallback_native_capability(long cuda_runtime_version);

// "12Gb   Compute capability: sm_86", its red unsupported form, or "-".
std::string gpu_memory_line(std::uint64_t total_memory_bytes, const std::string& capability, bool supported);

// "This version is built against CUDA 11.8.0 and cuDNN 8.4.1".
std::string cuda_version_line(long cuda_runtime_version, long cudnn_version);
// "with native support for GPUs up to compute capability sm_89."
std::string native_support_line(long cuda_runtime_version, const std::string& native_capability);
// Native or JIT-compiled kernels for the probed GPU.
std::string kernel_info_text(const std::string& native_capability, const std::string& gpu_capability);
// Whether this build's CUDA/cuDNN pair is the host's own.
std::string compatibility_text(long cuda_runtime_version, long cudnn_version);

// Lines written at construction when the GPU needs kernels compiled at run time. `suppress`
// is the value of BRIGHTWORK_SUPPRESS_KERNEL_WARNINGS, `cache_max_size` that of
// CUDA_CACHE_MAXSIZE (null when unset).
std::vector<std::string> kernel_warning_lines(const std::string& native_capability, const std::string& gpu_capability,
                                              const char* suppress, const char* cache_max_size);

} // namespace magnifex
