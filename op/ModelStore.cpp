// Turning archive bytes into the op's networks, checking them, and blending GAN and PSNR weights.
#include <stdexcept>
#include <string>

#include <c10/core/GradMode.h>

#include "models/MemAdapter.h"
#include "models/ModelLibrary.h"
#include "models/NetworkSignature.h"
#include "models/Precision.h"
#include "op/DebugStream.h"
#include "op/FormatRules.h"
#include "op/Magnifex.h"

using namespace magnifex;

namespace {

const char* const kStillLoadError = "Error loading the still model";
const char* const kSequenceLoadError = "Error loading the sequence models";
const char* const kHybridLoadError = "Error loading the hybrid sequence models";

struct ArchiveBytes {
  const void* data = nullptr;
  std::size_t size = 0;
};

// Calls the getter of a model code such as "4PstG"; no bytes when the getter is missing.
ArchiveBytes fetch_archive(const std::string& code)
{
  ArchiveBytes bytes;
  if (ModelGetter getter = model_getter(model_code_from_name(code.c_str()))) {
    std::size_t size = 0;
    bytes.data = getter(&size);
    bytes.size = size;
  }
  return bytes;
}

// Loads each member from its archive, in order; throws what the loader throws.
void load_into(std::initializer_list<std::pair<torch::jit::Module*, const ArchiveBytes*>> members, c10::Device device)
{
  for (const auto& [member, bytes] : members)
    *member = load_archive(bytes->data, bytes->size, device);
}

} // namespace

// Loads the groups the current mode and type need and have not loaded yet. False when a load
// failed, which ends the open. A group that fails its signature stays loaded, and every open that
// uses it says so again until the group is reloaded.
bool Magnifex::load_networks(c10::Device device)
{
  const std::string digit = std::to_string(scale_factor(scale));
  auto fail = [this](const char* what, const std::exception& e) {
    report_failure(what, e.what());
    return false;
  };

  if (render_mode() == RenderMode::Still && !still_nets_loaded) {
    const ArchiveBytes gan = fetch_archive(digit + "PstG");
    const ArchiveBytes psnr = fetch_archive(digit + "PstP");
    try {
      load_into({{&still_net, &gan}, {&still_gan_net, &gan}, {&still_psnr_net, &psnr}}, device);
    } catch (const std::exception& e) {
      return fail(kStillLoadError, e);
    }
    still_nets_loaded = true;
    still_nets_corrupt = !matches_signature(still_net, still_signature());
  }

  if (render_mode() == RenderMode::Sequence && !sequence_nets_loaded) {
    const std::string material_code = material() == Material::Plates ? "PA" : "CG";
    const ArchiveBytes flow = fetch_archive("FLWN");
    const ArchiveBytes gan = fetch_archive(digit + material_code + "srG");
    const ArchiveBytes psnr = fetch_archive(digit + material_code + "srP");
    try {
      load_into({{&flow_net, &flow}, {&sequence_net, &gan}, {&sequence_gan_net, &gan}, {&sequence_psnr_net, &psnr}},
                device);
    } catch (const std::exception& e) {
      return fail(kSequenceLoadError, e);
    }
    sequence_nets_loaded = true;
    sequence_nets_corrupt = !matches_signature(flow_net, flow_signature()) ||
                            !matches_signature(sequence_net, sequence_signature(scale_factor(scale)));
  }

  if (render_mode() == RenderMode::Sequence && material() == Material::Hybrid && !hybrid_nets_loaded) {
    const ArchiveBytes gan = fetch_archive(digit + "PAsrG");
    const ArchiveBytes psnr = fetch_archive(digit + "PAsrP");
    try {
      load_into({{&sequence_rgb_net, &gan}, {&sequence_rgb_gan_net, &gan}, {&sequence_rgb_psnr_net, &psnr}}, device);
    } catch (const std::exception& e) {
      return fail(kHybridLoadError, e);
    }
    hybrid_nets_loaded = true;
    hybrid_nets_corrupt = !matches_signature(sequence_rgb_net, sequence_signature(scale_factor(scale)));
  }

  const bool still_in_use = render_mode() == RenderMode::Still && still_nets_loaded;
  const bool sequence_in_use = render_mode() == RenderMode::Sequence && sequence_nets_loaded;
  const bool hybrid_in_use = sequence_in_use && material() == Material::Hybrid && hybrid_nets_loaded;
  if (still_in_use && still_nets_corrupt)
    error("Loaded model is corrupt, please re-install");
  else if ((sequence_in_use && sequence_nets_corrupt) || (hybrid_in_use && hybrid_nets_corrupt))
    error("Loaded models are corrupt, please re-install");
  return true;
}

namespace {

std::vector<at::Tensor> parameter_list(const torch::jit::Module& module)
{
  std::vector<at::Tensor> list;
  for (const at::Tensor& p : module.parameters(true))
    list.push_back(p);
  return list;
}

} // namespace

void Magnifex::blend_weights(torch::jit::Module& working, torch::jit::Module& gan, torch::jit::Module& psnr)
{
  const std::vector<at::Tensor> gan_params = parameter_list(gan);
  const std::vector<at::Tensor> psnr_params = parameter_list(psnr);
  const float d = details;
  std::size_t i = 0;
  for (at::Tensor param : working.parameters(true)) {
    // The three share one architecture; a broken pack must not read past a shorter list.
    if (i >= gan_params.size() || i >= psnr_params.size())
      break;
    if (d == 1.0f)
      param.copy_(gan_params[i], false);
    else if (d == 0.0f)
      param.copy_(psnr_params[i], false);
    else
      param.copy_(psnr_params[i].mul(1.0 - static_cast<double>(d)).add(gan_params[i].mul(d), 1), false);
    ++i;
  }
  set_blend_cpu_bfloat16(working, gan, psnr);
}

// Blends and places the working networks. GAN and PSNR archives that do not share one architecture
// cannot be blended: that is reported as a failed load of the group, which the next open retries.
bool Magnifex::prepare_networks(c10::Device device)
{
  const bool still = render_mode() == RenderMode::Still && still_nets_loaded;
  const bool sequence = render_mode() == RenderMode::Sequence && sequence_nets_loaded;
  if ((!still && !sequence) || (blend_ready && nets_on_device))
    return true;
  c10::GradMode::set_enabled(false);
  const char* stage = still ? kStillLoadError : kSequenceLoadError;
  bool* group_loaded = still ? &still_nets_loaded : &sequence_nets_loaded;
  try {
    if (still) {
      blend_weights(still_net, still_gan_net, still_psnr_net);
      still_net.to(device, false);
    } else {
      blend_weights(sequence_net, sequence_gan_net, sequence_psnr_net);
      flow_net.to(device, false);
      sequence_net.to(device, false);
      if (material() == Material::Hybrid && hybrid_nets_loaded) {
        stage = kHybridLoadError;
        group_loaded = &hybrid_nets_loaded;
        blend_weights(sequence_rgb_net, sequence_rgb_gan_net, sequence_rgb_psnr_net);
        sequence_rgb_net.to(device, false);
      }
    }
  } catch (const std::exception& e) {
    report_failure(stage, e.what());
    *group_loaded = false;
    blend_ready = false;
    return false;
  }
  prepared_details = details;
  blend_ready = nets_on_device = true;
  return true;
}
