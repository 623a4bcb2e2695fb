// What the GPU report and the device rule ask CUDA about the machine, behind one interface,
// so that every rule can be exercised with a fake on machines without a GPU.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace magnifex {

struct GpuDeviceProperties {
  std::string name;
  std::uint64_t total_memory = 0; // bytes
  int major = 0;
  int minor = 0;
};

class GpuFacts {
public:
  virtual ~GpuFacts() = default;

  virtual bool cuda_available() const = 0;
  virtual int device_count() const = 0;
  virtual GpuDeviceProperties device_properties(int index) const = 0;
  // major * 1000 + minor * 10 + patch; negative when the build has no CUDA back end.
  virtual long cuda_runtime_version() const = 0;
  // major * 1000 + minor * 100 + patch; negative when unavailable.
  virtual long cudnn_version() const = 0;
  // The tensor library's build-configuration text; empty when unavailable.
  virtual std::string build_configuration() const = 0;
};

// The facts as the linked libtorch reports them.
std::shared_ptr<const GpuFacts> libtorch_gpu_facts();

} // namespace magnifex
