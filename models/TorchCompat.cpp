#include "models/TorchCompat.h"

#include <ATen/autocast_mode.h>
#include <torch/csrc/jit/api/module.h>
#include <torch/csrc/jit/python/update_graph_executor_opt.h>

#ifdef MAGNIFEX_WITH_CUDA
#include <c10/cuda/CUDACachingAllocator.h>
#endif

namespace magnifex {

void set_cuda_autocast(bool enabled, std::optional<c10::ScalarType> compute_type)
{
  if (compute_type)
    at::autocast::set_autocast_dtype(at::kCUDA, *compute_type);
  at::autocast::set_autocast_enabled(at::kCUDA, enabled);
}

void set_cpu_autocast(bool enabled)
{
  if (enabled)
    at::autocast::set_autocast_dtype(at::kCPU, at::kBFloat16);
  at::autocast::set_autocast_enabled(at::kCPU, enabled);
}

at::Tensor autocast_to(c10::ScalarType type, const at::Tensor& tensor)
{
  return at::autocast::cached_cast(type, tensor, c10::DeviceType::CUDA);
}

void clear_autocast_cache()
{
  at::autocast::clear_cache();
}

void empty_cuda_cache()
{
#ifdef MAGNIFEX_WITH_CUDA
  try {
    c10::cuda::CUDACachingAllocator::emptyCache();
  } catch (const std::exception&) {
    // Nothing was cached on a machine whose CUDA cannot start.
  }
#endif
}

void set_torchscript_executor_switches()
{
  torch::jit::setGraphExecutorOptimize(false);
  torch::jit::FusionStrategy strategy = {{torch::jit::FusionBehavior::STATIC, 0}};
  torch::jit::setFusionStrategy(strategy);
}

} // namespace magnifex
