// The Magnifex node: upscales its input 2x or 4x with neural networks.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "DDImage/Knobs.h"
#include "DDImage/PlanarIop.h"

#include "models/MachineFacts.h"
#include "op/FrameState.h"
#include "op/GpuReport.h"
#include "op/NodeSettings.h"

// The tensor library stays out of the node's header: the render work and the networks live in
// their own objects, whose headers the files that use them include.
namespace at {
class Tensor;
}
namespace c10 {
struct Device;
struct IValue;
} // namespace c10
namespace torch::jit {
struct Module;
}
namespace magnifex {
class ArchiveSource;
class NetworkSet;
struct NetworkRequest;
struct PassPrecision;
struct ScriptedNetworks;
class SequenceMemory;
class SequenceRender;
} // namespace magnifex

class Magnifex : public DD::Image::PlanarIop {
public:
  explicit Magnifex(DD::Image::Node* node);
  // Tests hand in a fake view of the machine (its GPUs and CPU), and may hand in archives of their
  // own and working networks that stand in for the loaded ones once the node has opened.
  Magnifex(DD::Image::Node* node, std::shared_ptr<const magnifex::MachineFacts> machine,
           std::shared_ptr<const magnifex::ArchiveSource> archives = nullptr,
           std::shared_ptr<const magnifex::ScriptedNetworks> scripted = nullptr);
  ~Magnifex() override;

  void _validate(bool for_real) override;
  void _open() override;
  void _close() override;
  void knobs(DD::Image::Knob_Callback f) override;
  int knob_changed(DD::Image::Knob* k) override;

  int minimum_inputs() const override { return 1; }
  int maximum_inputs() const override { return 1; }
  float uses_input(int) const override { return 1.0f; }
  int split_input(int n) const override;
  const DD::Image::OutputContext& inputContext(int n, int offset, DD::Image::OutputContext& ctx) const override;
  const DD::Image::OutputContext* inputUIContext(int n, DD::Image::OutputContext& ctx) const override;

  const char* node_help() const override { return "Magnifex upscale plugin"; }
  const char* Class() const override { return "Magnifex"; }

  void getRequests(const DD::Image::Box& box, const DD::Image::ChannelSet& channels, int count,
                   DD::Image::RequestOutput& out) const override;
  void renderStripe(DD::Image::ImagePlane& plane) override;
  bool useStripes() const override { return false; }
  bool renderFullPlanes() const override { return true; }
  PackedPreference packedPreference() const override { return ePackedPreferencePacked; }

  // The precision rule around one super-resolution network pass, as this node's knobs set it (the
  // benchmark and the GPU checks time and probe the passes).
  at::Tensor run_network(const torch::jit::Module& net, std::vector<c10::IValue> inputs, bool gpu_in_use);

  // The knobs' values, read-only: the host writes them through the knobs.
  const magnifex::NodeSettings& settings() const { return settings_; }

  // What validation and rendering worked out, read-only.
  const magnifex::FrameState& frame_state() const { return frame_; }

  // What the GPU probe found, read-only.
  const magnifex::GpuStatus& gpu_status() const { return gpu_status_; }

  // Whether the CPU computes BFloat16 natively and the process opted in.
  const magnifex::CpuBFloat16& cpu_bfloat16() const { return cpu_bfloat16_; }

  // What sequence mode keeps between renders, read-only.
  const magnifex::SequenceMemory& sequence_memory() const;
  // Forgets the saved sequence state (the benchmark renders one frame again and again from nothing).
  void reset_sequence_state();

  // The networks as loaded, blended and placed, read-only.
  const magnifex::NetworkSet& networks() const { return *networks_; }

  // The device rule; the render variant also writes its own debug lines.
  c10::Device choose_device(bool for_render);

private:
  // What the knobs ask of the networks now, on that device.
  magnifex::NetworkRequest network_request(c10::Device device) const;
  // What the precision rule of a network pass reads now.
  magnifex::PassPrecision pass_precision() const;
  // Whether the mode's working networks may run their CPU passes in BFloat16 (the status line).
  bool networks_allow_cpu_bfloat16() const;

  // GPU report.
  void probe_gpu(bool set_name);
  bool report_gpu_supported();
  std::string gpu_memory_text(bool supported) const;
  void write_kernel_warnings() const;

  // Parameter reactions.
  void refresh_panel(bool mode_changed);
  void refresh_gpu_readouts();
  void fill_frame_range(bool overwrite);
  void set_knob_text(const char* name, const std::string& text);
  void enable_knob(const char* name, bool on);

  // Input contexts that exist and are in use: the preroll window may reach past what the host made.
  int usable_input_contexts() const;

  magnifex::CpuBFloat16 cpu_bfloat16_;
  magnifex::GpuStatus gpu_status_;
  magnifex::NodeSettings settings_;
  magnifex::FrameState frame_;
  std::unique_ptr<magnifex::NetworkSet> networks_;
  std::shared_ptr<const magnifex::ScriptedNetworks> scripted_;
  std::unique_ptr<magnifex::SequenceRender> sequence_;
  std::shared_ptr<const magnifex::MachineFacts> machine_;
};
