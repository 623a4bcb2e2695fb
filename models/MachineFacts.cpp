// The only file that asks CUDA about the machine.
#include "models/MachineFacts.h"

#include <ATen/detail/CUDAHooksInterface.h>
#ifdef MAGNIFEX_WITH_CUDA
#include <ATen/cuda/CUDAContext.h>
#endif
#include <torch/cuda.h>

namespace magnifex {
namespace {

class LibtorchMachineFacts final : public MachineFacts {
public:
  bool cuda_available() const override { return torch::cuda::is_available(); }

  int device_count() const override { return static_cast<int>(torch::cuda::device_count()); }

  GpuDeviceProperties device_properties(int index) const override
  {
    GpuDeviceProperties out;
#ifdef MAGNIFEX_WITH_CUDA
    const cudaDeviceProp* p = at::cuda::getDeviceProperties(static_cast<c10::DeviceIndex>(index));
    out.name = p->name;
    out.total_memory = p->totalGlobalMem;
    out.major = p->major;
    out.minor = p->minor;
#endif
    return out;
  }

  // The version queries throw when libtorch was built without CUDA.
  long cuda_runtime_version() const override
  {
    try {
      return at::detail::getCUDAHooks().versionCUDART();
    } catch (const std::exception&) {
      return -1;
    }
  }

  long cudnn_version() const override
  {
    try {
      return at::detail::getCUDAHooks().versionCuDNN();
    } catch (const std::exception&) {
      return -1;
    }
  }

  // Also throws on a CUDA build when no driver is installed, since it reports device facts too.
  std::string build_configuration() const override
  {
    try {
      return at::detail::getCUDAHooks().showConfig();
    } catch (const std::exception&) {
      return std::string();
    }
  }

  CpuBFloat16 cpu_bfloat16() const override
  {
    return this_cpu_bfloat16();
  }
};

} // namespace

std::shared_ptr<const MachineFacts> libtorch_machine_facts()
{
  static const std::shared_ptr<const MachineFacts> facts = std::make_shared<LibtorchMachineFacts>();
  return facts;
}

} // namespace magnifex
