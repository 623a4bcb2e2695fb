// A machine (its GPUs and CPU) as tests want it, and a node class that builds Magnifex on it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "models/MachineFacts.h"
#include "op/ScriptedNetworks.h"

namespace magnifex_test {

struct FakeMachineFacts : magnifex::MachineFacts {
  bool cuda = false;
  std::vector<magnifex::GpuDeviceProperties> devices;
  long cuda_version = 11080;
  long cudnn = 8401;
  std::string config;
  magnifex::CpuBFloat16 cpu = magnifex::this_cpu_bfloat16();

  bool cuda_available() const override { return cuda; }
  int device_count() const override { return cuda ? static_cast<int>(devices.size()) : 0; }
  magnifex::GpuDeviceProperties device_properties(int index) const override { return devices.at(index); }
  long cuda_runtime_version() const override { return cuda_version; }
  long cudnn_version() const override { return cudnn; }
  std::string build_configuration() const override { return config; }
  magnifex::CpuBFloat16 cpu_bfloat16() const override { return cpu; }

  // A CUDA machine with one GPU per (name, compute capability digits, GiB) entry.
  static std::shared_ptr<FakeMachineFacts> with_gpus(std::vector<std::tuple<std::string, int, int>> gpus,
                                                     long cuda_version = 11080, long cudnn = 8401,
                                                     const std::string& native = "89");
  static std::shared_ptr<FakeMachineFacts> without_cuda();
};

// The facts the next "MagnifexUnderTest" node is built with, this process's CPU unless told, and
// the working networks that stand in for its loaded ones (none: the loaded ones run).
void set_machine(std::shared_ptr<const FakeMachineFacts> facts, std::optional<magnifex::CpuBFloat16> cpu = std::nullopt,
                 std::shared_ptr<const magnifex::ScriptedNetworks> scripted = nullptr);

// Class name of the node that builds Magnifex on the machine set above.
constexpr const char* kTestClass = "MagnifexUnderTest";

} // namespace magnifex_test
