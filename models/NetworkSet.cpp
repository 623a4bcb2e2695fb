#include "models/NetworkSet.h"

#include <stdexcept>
#include <vector>

#include <c10/core/GradMode.h>

#include "models/MemAdapter.h"
#include "models/NetworkSignature.h"
#include "models/Precision.h"

namespace magnifex {

namespace {

const char* const kStillLoadError = "Error loading the still model";
const char* const kSequenceLoadError = "Error loading the sequence models";
const char* const kHybridLoadError = "Error loading the hybrid sequence models";

std::vector<at::Tensor> parameter_list(const torch::jit::Module& module)
{
  std::vector<at::Tensor> list;
  for (const at::Tensor& p : module.parameters(true))
    list.push_back(p);
  return list;
}

// The failure's stage for the node; the exception's own text for the log.
std::string failure(const char* stage, const std::exception& e, const std::function<void(const std::string&)>& log)
{
  log(stage);
  log(e.what());
  return stage;
}

} // namespace

void blend_weights(torch::jit::Module& working, const torch::jit::Module& gan, const torch::jit::Module& psnr,
                   float details)
{
  const std::vector<at::Tensor> gan_params = parameter_list(gan);
  const std::vector<at::Tensor> psnr_params = parameter_list(psnr);
  std::size_t i = 0;
  for (at::Tensor param : working.parameters(true)) {
    // The three share one architecture; a broken pack must not read past a shorter list.
    if (i >= gan_params.size() || i >= psnr_params.size())
      break;
    if (details == 1.0f)
      param.copy_(gan_params[i], false);
    else if (details == 0.0f)
      param.copy_(psnr_params[i], false);
    else
      param.copy_(psnr_params[i].mul(1.0 - static_cast<double>(details)).add(gan_params[i].mul(details), 1), false);
    ++i;
  }
  set_blend_cpu_bfloat16(working, gan, psnr);
}

NetworkSet::NetworkSet(std::shared_ptr<const ArchiveSource> source) : source_(std::move(source)) {}

NetworkSet::~NetworkSet() = default;

std::string NetworkSet::ensure(const NetworkRequest& request, const std::function<void(const std::string&)>& log)
{
  if (std::string failed = load(request, log); !failed.empty())
    return failed;
  // The device can change without a knob that clears the placement (cuda_deviceid, the batch
  // override): networks left on the old one would meet inputs on the new one.
  if (nets_on_device && request.device != device)
    nets_on_device = false;
  const std::string corrupt = corrupt_problem(request);
  if (std::string failed = prepare(request, log); !failed.empty())
    return failed;
  return corrupt;
}

std::string NetworkSet::load(const NetworkRequest& request, const std::function<void(const std::string&)>& log)
{
  const int scale = request.scale_factor;
  auto fetch = [this](ModelFamily family, int scale, ModelMaterial material, ModelTraining training) {
    return source_->archive(find_model(family, scale, material, training));
  };
  // Each member from its archive, in order; a throw leaves the group empty.
  auto load_into = [&request](std::initializer_list<std::pair<torch::jit::Module*, ArchiveBytes>> members) {
    for (const auto& [member, bytes] : members)
      *member = load_archive(bytes.data, bytes.size, request.device);
  };

  if (!request.sequence && still_state == GroupState::Empty) {
    const ArchiveBytes gan = fetch(ModelFamily::still, scale, ModelMaterial::P, ModelTraining::G);
    const ArchiveBytes psnr = fetch(ModelFamily::still, scale, ModelMaterial::P, ModelTraining::P);
    try {
      load_into({{&still_net, gan}, {&still_gan_net, gan}, {&still_psnr_net, psnr}});
    } catch (const std::exception& e) {
      return failure(kStillLoadError, e, log);
    }
    still_state = matches_signature(still_net, still_signature()) ? GroupState::Loaded : GroupState::Corrupt;
  }

  if (request.sequence && sequence_state == GroupState::Empty) {
    const ModelMaterial material = request.cg ? ModelMaterial::CG : ModelMaterial::PA;
    const ArchiveBytes flow = fetch(ModelFamily::flow, 0, ModelMaterial::none, ModelTraining::none);
    const ArchiveBytes gan = fetch(ModelFamily::sequence, scale, material, ModelTraining::G);
    const ArchiveBytes psnr = fetch(ModelFamily::sequence, scale, material, ModelTraining::P);
    try {
      load_into({{&flow_net, flow}, {&sequence_net, gan}, {&sequence_gan_net, gan}, {&sequence_psnr_net, psnr}});
    } catch (const std::exception& e) {
      return failure(kSequenceLoadError, e, log);
    }
    const bool matches = matches_signature(flow_net, flow_signature()) &&
                         matches_signature(sequence_net, sequence_signature(request.scale_factor));
    sequence_state = matches ? GroupState::Loaded : GroupState::Corrupt;
  }

  if (request.sequence && request.hybrid && hybrid_state == GroupState::Empty) {
    const ArchiveBytes gan = fetch(ModelFamily::sequence, scale, ModelMaterial::PA, ModelTraining::G);
    const ArchiveBytes psnr = fetch(ModelFamily::sequence, scale, ModelMaterial::PA, ModelTraining::P);
    try {
      load_into({{&sequence_rgb_net, gan}, {&sequence_rgb_gan_net, gan}, {&sequence_rgb_psnr_net, psnr}});
    } catch (const std::exception& e) {
      return failure(kHybridLoadError, e, log);
    }
    hybrid_state = matches_signature(sequence_rgb_net, sequence_signature(request.scale_factor)) ? GroupState::Loaded
                                                                                                 : GroupState::Corrupt;
  }
  return {};
}

std::string NetworkSet::corrupt_problem(const NetworkRequest& request) const
{
  if (!request.sequence)
    return still_state == GroupState::Corrupt ? "Loaded model is corrupt, please re-install" : "";
  if (sequence_state == GroupState::Corrupt || (request.hybrid && hybrid_state == GroupState::Corrupt))
    return "Loaded models are corrupt, please re-install";
  return {};
}

// GAN and PSNR archives that do not share one architecture cannot be blended: that is reported as a
// failed load of the group, which the next call retries.
std::string NetworkSet::prepare(const NetworkRequest& request, const std::function<void(const std::string&)>& log)
{
  if (ready())
    return {};
  c10::GradMode::set_enabled(false);
  const char* stage = request.sequence ? kSequenceLoadError : kStillLoadError;
  GroupState* group = request.sequence ? &sequence_state : &still_state;
  try {
    if (!request.sequence) {
      blend_weights(still_net, still_gan_net, still_psnr_net, request.details);
      still_net.to(request.device, false);
    } else {
      blend_weights(sequence_net, sequence_gan_net, sequence_psnr_net, request.details);
      flow_net.to(request.device, false);
      sequence_net.to(request.device, false);
      if (request.hybrid) {
        stage = kHybridLoadError;
        group = &hybrid_state;
        blend_weights(sequence_rgb_net, sequence_rgb_gan_net, sequence_rgb_psnr_net, request.details);
        sequence_rgb_net.to(request.device, false);
      }
    }
  } catch (const std::exception& e) {
    *group = GroupState::Empty;
    blend_ready = false;
    return failure(stage, e, log);
  }
  prepared_details = request.details;
  device = request.device;
  blend_ready = nets_on_device = true;
  return {};
}

void NetworkSet::invalidate()
{
  still_state = sequence_state = hybrid_state = GroupState::Empty;
  blend_ready = false;
  nets_on_device = false;
}

void NetworkSet::follow_details(float details)
{
  // NaN on either side also counts as a change.
  if (!(details == prepared_details))
    blend_ready = false;
}

bool NetworkSet::allow_cpu_bfloat16(const NetworkRequest& request) const
{
  if (!request.sequence)
    return still_nets_loaded() && allows_cpu_bfloat16(still_net);
  return sequence_nets_loaded() && allows_cpu_bfloat16(sequence_net) &&
         (!request.hybrid || (hybrid_nets_loaded() && allows_cpu_bfloat16(sequence_rgb_net)));
}

void NetworkSet::release_to_cpu()
{
  const c10::Device cpu(c10::DeviceType::CPU);
  auto to_cpu = [&cpu](std::initializer_list<torch::jit::Module*> group) {
    for (torch::jit::Module* m : group) {
      try {
        m->to(cpu);
      } catch (const std::exception&) {
      }
    }
  };
  if (still_nets_loaded())
    to_cpu({&still_net, &still_gan_net, &still_psnr_net});
  if (sequence_nets_loaded())
    to_cpu({&flow_net, &sequence_net, &sequence_gan_net, &sequence_psnr_net});
  if (hybrid_nets_loaded())
    to_cpu({&sequence_rgb_net, &sequence_rgb_gan_net, &sequence_rgb_psnr_net});
}

} // namespace magnifex
