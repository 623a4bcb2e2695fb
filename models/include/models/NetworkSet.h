// The node's networks in three groups (still; flow and recurrent; the hybrid's colour network),
// each with its GAN and PSNR archives as loaded and the working network blended from them at
// `details`, placed on one device.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <c10/core/Device.h>
#include <torch/csrc/jit/api/module.h>

#include "models/ArchiveSource.h"

namespace magnifex {

// A group's archives: not loaded, loaded, or loaded but failing the signature check (kept, and
// reported at every use, until the group is loaded again).
enum class GroupState { Empty, Loaded, Corrupt };

// What a render is about to use.
struct NetworkRequest {
  bool sequence = false; // flow and recurrent networks; otherwise the still network
  bool cg = false;       // the recurrent networks of the CG archives (CG and hybrid material)
  bool hybrid = false;   // with the hybrid's colour network from the plates archives
  int scale_factor = 4;
  float details = 0.9f;
  c10::Device device = c10::Device(c10::DeviceType::CPU);
};

class NetworkSet {
public:
  explicit NetworkSet(std::shared_ptr<const ArchiveSource> source);
  ~NetworkSet();

  // Loads the groups the request needs and lacks, then blends and places the working networks
  // unless they already are, on the request's device. The node's error text, empty when all is well; the exception's
  // text of a failure goes to `log`. A failed load or blend empties its group, so the next call tries again; a corrupt
  // group is still blended and placed, and reported.
  std::string ensure(const NetworkRequest& request, const std::function<void(const std::string&)>& log);
  // Another scale, type or mode: every group is loaded again.
  void invalidate();
  // Another device: the working networks are placed again.
  void invalidate_placement() { nets_on_device = false; }
  // A `details` other than the blended one (NaN included) blends again.
  void follow_details(float details);
  // The working networks are blended and placed.
  bool ready() const { return blend_ready && nets_on_device; }
  // Whether the request's working networks may run their CPU passes in BFloat16.
  bool allow_cpu_bfloat16(const NetworkRequest& request) const;
  // Moves every loaded network to the CPU, ignoring a device that went away (before unloading).
  void release_to_cpu();

  bool still_nets_loaded() const { return still_state != GroupState::Empty; }
  bool sequence_nets_loaded() const { return sequence_state != GroupState::Empty; }
  bool hybrid_nets_loaded() const { return hybrid_state != GroupState::Empty; }

  torch::jit::Module still_net, still_gan_net, still_psnr_net;
  torch::jit::Module flow_net, sequence_net, sequence_gan_net, sequence_psnr_net;
  torch::jit::Module sequence_rgb_net, sequence_rgb_gan_net, sequence_rgb_psnr_net;
  GroupState still_state = GroupState::Empty;
  GroupState sequence_state = GroupState::Empty;
  GroupState hybrid_state = GroupState::Empty;
  float prepared_details = 0.9f;
  bool blend_ready = false;
  bool nets_on_device = false;
  // Where the working networks were placed: a request for another device places them again.
  c10::Device device = c10::Device(c10::DeviceType::CPU);

private:
  std::string load(const NetworkRequest& request, const std::function<void(const std::string&)>& log);
  std::string prepare(const NetworkRequest& request, const std::function<void(const std::string&)>& log);
  std::string corrupt_problem(const NetworkRequest& request) const;

  std::shared_ptr<const ArchiveSource> source_;
};

// The working network's weights: psnr * (1 - details) + gan * details, exactly one end at 0 and 1.
void blend_weights(torch::jit::Module& working, const torch::jit::Module& gan, const torch::jit::Module& psnr,
                   float details);

} // namespace magnifex
