// The Magnifex node: upscales its input 2x or 4x with neural networks.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <ATen/core/Tensor.h>
#include <c10/core/Device.h>
#include <torch/csrc/jit/api/module.h>

#include "DDImage/Knobs.h"
#include "DDImage/PlanarIop.h"

#include "models/CpuFacts.h"
#include "models/NetworkSet.h"
#include "op/FrameState.h"
#include "op/GpuFacts.h"
#include "op/GpuReport.h"
#include "op/NodeSettings.h"
#include "render/NonFiniteValues.h"
#include "render/PatchGrid.h"
#include "render/RenderHooks.h"
#include "render/sequence/SequenceMemory.h"

class Magnifex : public DD::Image::PlanarIop {
public:
  explicit Magnifex(DD::Image::Node* node);
  // Tests hand in a fake view of the machine's GPUs and CPU, and may hand in archives of their own.
  Magnifex(DD::Image::Node* node, std::shared_ptr<const magnifex::GpuFacts> gpu_facts,
           magnifex::CpuBFloat16 cpu_bfloat16, std::shared_ptr<const magnifex::ArchiveSource> archives = nullptr);
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

  // The precision rule around one super-resolution network pass.
  at::Tensor run_network(torch::jit::Module& net, std::vector<c10::IValue> inputs, bool gpu_in_use);

  // The knobs' values, read-only: the host writes them through the knobs.
  const magnifex::NodeSettings& settings() const { return settings_; }

  // What validation and rendering worked out, read-only.
  const magnifex::FrameState& frame_state() const { return frame_; }

  // What the GPU probe found, read-only.
  const magnifex::GpuStatus& gpu_status() const { return gpu_status_; }

  // Whether the CPU computes BFloat16 natively and the process opted in.
  const magnifex::CpuBFloat16& cpu_bfloat16() const { return cpu_bfloat16_; }

  // What sequence mode keeps between renders, read-only.
  const magnifex::SequenceMemory& sequence_memory() const { return sequence_memory_; }
  // Forgets the saved sequence state (the benchmark renders one frame again and again from nothing).
  void reset_sequence_state() { sequence_memory_.reset(); }

  // The networks as loaded, blended and placed. Tests and the benchmark may put scripted working
  // networks in place once the node is open.
  const magnifex::NetworkSet& networks() const { return networks_; }
  magnifex::NetworkSet& networks() { return networks_; }
  // What the knobs ask of the networks now, on that device.
  magnifex::NetworkRequest network_request(c10::Device device) const;

  // The device rule; the render variant also writes its own debug lines.
  c10::Device choose_device(bool for_render);

private:
  // Rendering: what one renderStripe call carries from its entry to its end.
  struct RenderRun {
    std::chrono::steady_clock::time_point start;
    c10::Device device;
    bool gpu_in_use;
  };
  void render_still(DD::Image::ImagePlane& plane, const RenderRun& run);
  // Whether the mode's working networks may run their CPU passes in BFloat16 (the status line).
  bool networks_allow_cpu_bfloat16() const;
  void render_sequence(DD::Image::ImagePlane& plane, const RenderRun& run);
  // One patch of input context `context` as a host tensor; nothing after a node error. The current
  // frame's read and a preroll frame's read say different things on the debug stream.
  std::optional<at::Tensor> read_patch(int context, const magnifex::PatchRect& patch, const DD::Image::Box& input_box,
                                       const DD::Image::ChannelSet& readChannels, const RenderRun& run,
                                       bool current_frame);
  // What both modes do first: their debug line, the abort check (false: aborted), input 0's box
  // and the channels to read.
  bool begin_mode(const char* name, const DD::Image::ImagePlane& plane, DD::Image::Box& input_box,
                  DD::Image::ChannelSet& readChannels);
  // The input's channels a render of the output plane reads, with their debug lines; empty when
  // the input has none of the plane's channels.
  DD::Image::ChannelSet read_channels(const DD::Image::ImagePlane& plane) const;
  // False, with a node error, for a plane the write-back cannot fill in one block.
  bool output_plane_fits(const DD::Image::ImagePlane& plane, int W, int H);
  // Copies sequence mode's decoded composite into the plane, each channel from its own result
  // channel, with the input's non-finite values put back; false after a node error.
  bool write_output(DD::Image::ImagePlane& plane, const at::Tensor& composite, magnifex::NonFiniteValues non_finite,
                    const DD::Image::ChannelSet& readChannels);
  // The bookkeeping of a completed render: render_count, the autocast cache, the total time.
  void finish_render(const RenderRun& run);
  // The exception's text to the debug stream, the stage to the node.
  void report_failure(const char* stage, const std::string& what);
  magnifex::RenderHooks render_hooks();

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

  // The preroll plan of that frame into the frame state.
  void compute_preroll_frames(int frame);
  // Input contexts that exist and are in use: the preroll window may reach past what the host made.
  int usable_input_contexts() const;

  magnifex::CpuBFloat16 cpu_bfloat16_;
  magnifex::GpuStatus gpu_status_;
  magnifex::NodeSettings settings_;
  magnifex::FrameState frame_;
  magnifex::NetworkSet networks_;
  magnifex::SequenceMemory sequence_memory_;
  std::shared_ptr<const magnifex::GpuFacts> gpu_facts_;
};
