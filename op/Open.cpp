// Opening the node: device, companion library, executor switches, networks.
#include <cstdlib>

#include "DDImage/plugins.h"

#include "models/DevicePolicy.h"
#include "models/ModelLibrary.h"
#include "models/NetworkSet.h"
#include "models/TorchCompat.h"
#include "op/DebugStream.h"
#include "op/FormatRules.h"
#include "op/Magnifex.h"
#include "op/ScriptedNetworks.h"

using namespace DD::Image;
using namespace magnifex;

void Magnifex::_open()
{
  PlanarIop::_open();
  const c10::Device device = choose_device(false);

  const char* plugin_path = plugin_find(plugin_file_name(), nullptr);
  if (!plugin_path)
    report_plugin_find_failure();
  if (!load_model_library(plugin_path))
    report_model_library_failure();
  if (!resolve_model_symbols()) {
    report_symbol_resolution_failure();
    return;
  }

  set_torchscript_executor_switches();
  // Every line of a failure reaches the log, debug output on or off; the node shows its stage.
  const std::string problem = networks_->ensure(network_request(device), debug_line);
  if (!problem.empty())
    error("%s", problem.c_str());
  if (networks_->ready()) {
    frame_.render_count = 0;
    if (scripted_)
      scripted_->apply(*networks_);
  }
}

NetworkRequest Magnifex::network_request(c10::Device device) const
{
  NetworkRequest request;
  request.sequence = settings_.render_mode() == RenderMode::Sequence;
  request.cg = settings_.material() != Material::Plates;
  request.hybrid = settings_.material() == Material::Hybrid;
  request.scale_factor = settings_.scale_factor();
  request.details = settings_.details;
  request.device = device;
  return request;
}

c10::Device Magnifex::choose_device(bool for_render)
{
  DeviceRuleInputs in;
  in.use_gpu = settings_.use_gpu;
  in.cuda_available = settings_.use_gpu && machine_->cuda_available();
  if (in.cuda_available) {
    in.device_count = machine_->device_count();
    if (settings_.gpu_render_override)
      if (const char* value = std::getenv("BRIGHTWORK_NUKE_GPU_INDEX"))
        in.override_value = value;
  }
  in.cuda_deviceid = settings_.cuda_deviceid;
  in.gpu_render_override = settings_.gpu_render_override;
  in.debug = settings_.debug;
  in.for_render = for_render;
  if (for_render && settings_.debug)
    in.node_name = node_name();

  const DeviceChoice choice = magnifex::choose_device(in);
  for (const std::string& line : choice.debug_lines)
    debug_line(line);
  if (!choice.cuda)
    return c10::Device(c10::DeviceType::CPU);
  return c10::Device(c10::DeviceType::CUDA, static_cast<c10::DeviceIndex>(choice.index));
}
