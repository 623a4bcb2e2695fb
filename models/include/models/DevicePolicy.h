// The device rule shared by opening, rendering and the GPU report.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace magnifex {

// A requested CUDA index bounded to the devices there are: negative indices mean device 0,
// indices at or above the count mean the highest device. Needs device_count >= 1.
int bounded_device_index(int requested, int device_count);

struct DeviceRuleInputs {
  bool use_gpu = true;
  bool cuda_available = false;
  int device_count = 0;
  int cuda_deviceid = 0;
  bool gpu_render_override = true;
  // Value of BRIGHTWORK_NUKE_GPU_INDEX, absent when the variable is not set.
  std::optional<std::string> override_value;
  bool debug = false;
  // The render writes more lines than the open, prefixed with the node name.
  bool for_render = false;
  std::string node_name;
};

struct DeviceChoice {
  bool cuda = false;
  int index = -1; // -1 for the CPU
  std::vector<std::string> debug_lines;
};

DeviceChoice choose_device(const DeviceRuleInputs& in);

} // namespace magnifex
