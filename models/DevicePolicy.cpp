#include "models/DevicePolicy.h"

#include <algorithm>
#include <cstdlib>

namespace magnifex {

int bounded_device_index(int requested, int device_count)
{
  if (requested < 0)
    return 0;
  return std::min(requested, device_count - 1);
}

DeviceChoice choose_device(const DeviceRuleInputs& in)
{
  DeviceChoice choice;
  if (!in.use_gpu || !in.cuda_available || in.device_count < 1)
    return choice;

  if (in.for_render && in.debug)
    choice.debug_lines.push_back(in.node_name + ": Saved cuda_deviceid: " + std::to_string(in.cuda_deviceid));

  int index = bounded_device_index(in.cuda_deviceid, in.device_count);
  if (in.gpu_render_override && in.override_value) {
    if (in.debug)
      choice.debug_lines.push_back(std::string(in.for_render ? "[renderStripe]" : "[_open]") +
                                   " Render --gpu override: " + *in.override_value);
    // atoi: no digits reads as 0; the value is bounded like the saved index.
    index = bounded_device_index(std::atoi(in.override_value->c_str()), in.device_count);
  }

  if (in.for_render && in.debug)
    choice.debug_lines.push_back(in.node_name + ": Set the use_cuda_device to: " + std::to_string(index));

  choice.cuda = true;
  choice.index = index;
  return choice;
}

} // namespace magnifex
