// The render entry: what every renderStripe call does before it hands the plane to its mode.
#include "op/Magnifex.h"

#include <chrono>

#include <c10/core/GradMode.h>

#include "DDImage/Application.h"
#include "models/NetworkSet.h"
#include "models/Precision.h"
#include "op/DebugStream.h"
#include "op/RenderRun.h"
#include "op/RenderSequence.h"
#include "op/RenderStill.h"

using namespace DD::Image;
using namespace magnifex;

void Magnifex::renderStripe(ImagePlane& plane)
{
  const auto start = std::chrono::steady_clock::now();
  if (aborted())
    return;
  plane.makeUnique();
  if (!input0()) {
    error("Magnifex needs an input");
    return;
  }
  c10::NoGradGuard no_grad;
  // Every stage reports its own failures; whatever else a tensor operation throws (an allocation,
  // a device that went away) must not reach the host either.
  try {
    const c10::Device device = choose_device(true);
    const RenderRun run{*this, settings_, frame_, *networks_, pass_precision(), device, device.is_cuda(), start};
    if (!Application::IsGUIActive()) {
      const std::string where = run.gpu_in_use
                                  ? "' on GPU (" + gpu_status_.gpu_name + ")"
                                  : "' on CPU" + cpu_precision_note(settings_.mixedprecision, settings_.use_bfloat16,
                                                                    cpu_bfloat16_, networks_allow_cpu_bfloat16());
      debug_line(node_name() + ": Running inference for layer '" + cat(plane.channels()) + where);
    }
    if (settings_.render_mode() == RenderMode::Sequence)
      sequence_->render(run, plane);
    else
      render_still(run, plane);
  } catch (const std::exception& e) {
    debug_line("Error during rendering");
    debug_line(e.what());
    error("Error during rendering");
  }
}

bool Magnifex::networks_allow_cpu_bfloat16() const
{
  return networks_->allow_cpu_bfloat16(network_request(c10::Device(c10::DeviceType::CPU)));
}

PassPrecision Magnifex::pass_precision() const
{
  return PassPrecision{settings_.mixedprecision, settings_.use_bfloat16, gpu_status_.bf16_capable,
                       cpu_bfloat16_.native && cpu_bfloat16_.enabled};
}

at::Tensor Magnifex::run_network(const torch::jit::Module& net, std::vector<c10::IValue> inputs, bool gpu_in_use)
{
  return magnifex::run_network(pass_precision(), net, std::move(inputs), gpu_in_use);
}
