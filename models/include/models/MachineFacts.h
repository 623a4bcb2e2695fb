// What the machine offers the networks (its GPUs as CUDA reports them, whether its CPU computes
// BFloat16), behind one interface, so that every rule over it (the GPU report, the device rule,
// the CPU's 16-bit passes) can be exercised with a fake on any machine.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "models/CpuFacts.h"

namespace magnifex {

struct GpuDeviceProperties {
  std::string name;
  std::uint64_t total_memory = 0; // bytes
  int major = 0;
  int minor = 0;
};

class MachineFacts {
public:
  virtual ~MachineFacts() = default;

  virtual bool cuda_available() const = 0;
  virtual int device_count() const = 0;
  virtual GpuDeviceProperties device_properties(int index) const = 0;
  // major * 1000 + minor * 10 + patch; negative when the build has no CUDA back end.
  virtual long cuda_runtime_version() const = 0;
  // major * 1000 + minor * 100 + patch; negative when unavailable.
  virtual long cudnn_version() const = 0;
  // The tensor library's build-configuration text; empty when unavailable.
  virtual std::string build_configuration() const = 0;
  // Whether this CPU computes BFloat16 natively, and whether the process asked for it.
  virtual CpuBFloat16 cpu_bfloat16() const = 0;
};

// The facts as the linked libtorch reports them.
std::shared_ptr<const MachineFacts> libtorch_machine_facts();

} // namespace magnifex
