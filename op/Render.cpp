// The render entry: what every renderStripe call does, the still-mode glue, and the write-back.
#include "op/Magnifex.h"

#include <algorithm>
#include <stdexcept>

#include <c10/core/GradMode.h>

#include "DDImage/Application.h"
#include "models/Precision.h"
#include "models/TorchCompat.h"
#include "op/DebugStream.h"
#include "op/FormatRules.h"
#include "render/HostMemory.h"
#include "render/PlaneTensor.h"
#include "render/StillWalk.h"
#include "render/WriteBack.h"

using namespace DD::Image;
using namespace magnifex;

RenderHooks Magnifex::render_hooks()
{
  RenderHooks hooks;
  hooks.progress = [this](int done, int total) { progressFraction(done, total); };
  hooks.aborted = [this] { return aborted(); };
  if (settings_.debug)
    hooks.debug = [](const std::string& line) { debug_line(line); };
  return hooks;
}

void Magnifex::report_failure(const char* stage, const std::string& what)
{
  // The exception's text always reaches the log; the node shows the stage.
  debug_line(stage);
  debug_line(what);
  error("%s", stage);
}

void Magnifex::renderStripe(ImagePlane& plane)
{
  RenderRun run{std::chrono::steady_clock::now(), c10::Device(c10::DeviceType::CPU), false};
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
    run.device = choose_device(true);
    run.gpu_in_use = run.device.is_cuda();
    if (!Application::IsGUIActive()) {
      const std::string where = run.gpu_in_use
                                  ? "' on GPU (" + gpu_status_.gpu_name + ")"
                                  : "' on CPU" + cpu_precision_note(settings_.mixedprecision, settings_.use_bfloat16,
                                                                    cpu_bfloat16_, networks_allow_cpu_bfloat16());
      debug_line(node_name() + ": Running inference for layer '" + cat(plane.channels()) + where);
    }
    if (settings_.render_mode() == RenderMode::Sequence)
      render_sequence(plane, run);
    else
      render_still(plane, run);
  } catch (const std::exception& e) {
    report_failure("Error during rendering", e.what());
  }
}

bool Magnifex::networks_allow_cpu_bfloat16() const
{
  return networks_.allow_cpu_bfloat16(network_request(c10::Device(c10::DeviceType::CPU)));
}

ChannelSet Magnifex::read_channels(const ImagePlane& plane) const
{
  ChannelSet readChannels = plane.channels();
  const ChannelSet inputChannels = input0()->channels();
  if (settings_.debug) {
    debug_line("Got the readChannels: " + cat(readChannels));
    debug_line("Got the inputChannels: " + cat(inputChannels));
  }
  readChannels = channels_to_read(readChannels, inputChannels, frame_.use_alpha != 0);
  if (settings_.debug) {
    debug_line("Processed the readChannels: " + cat(readChannels));
    debug_line(cat("Got the channelset: ", cat(readChannels), ", with nr of channels: ", readChannels.size()));
    for (Channel c = readChannels.first(); c != Chan_Black; c = readChannels.next(c))
      debug_line(cat("checking channel: ", getName(c)));
    if (readChannels.size() == 1)
      debug_line("The channel count is only 1");
  }
  return readChannels;
}

bool Magnifex::output_plane_fits(const ImagePlane& plane, int W, int H)
{
  const int S = settings_.scale_factor();
  const Box& b = plane.bounds();
  if (plane.channels().empty() || plane.nComps() < 1) {
    error("Nothing to render: the output asks for no channels");
    return false;
  }
  if (!plane.packed() || std::int64_t(b.w()) != std::int64_t(S) * W || std::int64_t(b.h()) != std::int64_t(S) * H) {
    error("The output plane does not cover the whole upscaled image (%d x %d pixels, packed)", S * W, S * H);
    return false;
  }
  return true;
}

bool Magnifex::begin_mode(const char* name, const ImagePlane& plane, Box& input_box, ChannelSet& readChannels)
{
  if (settings_.debug)
    debug_line(name);
  if (aborted())
    return false;
  const Iop& in = *input0();
  input_box = Box(in.x(), in.y(), in.r(), in.t());
  readChannels = read_channels(plane);
  return true;
}

void Magnifex::render_still(ImagePlane& plane, const RenderRun& run)
{
  Box box;
  ChannelSet readChannels;
  if (!begin_mode("Still mode", plane, box, readChannels))
    return;
  Iop& in = *input0();
  const int W = box.w(), H = box.h();
  const int n = int(readChannels.size());
  if (n == 0) {
    error("Nothing to render: the input has none of the channels the output asks for");
    return;
  }
  if (!output_plane_fits(plane, W, H))
    return;
  const std::optional<PatchGrid> grid =
    compute_patch_grid(W, H, settings_.max_size, settings_.overlap, settings_.padding, settings_.multisample);
  if (!grid) {
    error("No patch grid for a %d x %d input with max size %d", W, H, settings_.max_size);
    return;
  }

  // The input plane lives only until the network input is made from it (a copy): at 4K it is
  // 100 MB that the walk does not need.
  at::Tensor tensor_image;
  NonFiniteValues non_finite;
  {
    in.request(box, readChannels, 1);
    ImagePlane input_plane(box, false, readChannels, n);
    in.fetchPlane(input_plane);
    if (aborted())
      return;

    try {
      const float* pixels = nullptr;
      try {
        pixels = input_plane.readable();
      } catch (const std::exception& e) {
        report_failure("Error allocating the current frame", e.what());
        return;
      }
      const at::Tensor host = host_tensor_from_planes(pixels, n, H, W, run.gpu_in_use);
      if (settings_.debug)
        debug_line("Allocated tensor (still)");
      if (aborted())
        return;
      tensor_image = still_network_input(host, run.device, &non_finite);
      if (settings_.debug)
        debug_line("Tensor reformated and moved to GPU");
    } catch (const std::exception& e) {
      report_failure("Error preparing the current frame", e.what());
      return;
    }
  }
  if (aborted())
    return;
  if (settings_.debug)
    debug_line(grid_count_text("Inference runs: ", *grid, settings_.multisample));

  StillWalkSettings settings;
  settings.scale = settings_.scale_factor();
  settings.multisample = settings_.multisample;
  settings.debug_patch = settings_.debug_patch;
  const bool gpu = run.gpu_in_use;
  const NetworkPass pass = [this, gpu](const at::Tensor& chunk) {
    return run_network(networks_.still_net, {chunk}, gpu);
  };
  const Box& out = plane.bounds();
  const std::size_t plane_floats = std::size_t(out.w()) * std::size_t(out.h()) * std::size_t(plane.nComps());
  std::optional<PlaneWriter> writer;
  try {
    writer.emplace(plane.writable(), plane_floats, out.h(), out.w(), plane.nComps(), true);
    writer->set_channel_sources(output_channel_sources(plane.channels(), readChannels, false));
    writer->set_non_finite(std::move(non_finite), settings.scale);
  } catch (const std::exception& e) {
    report_failure("Error during the final output process", e.what());
    return;
  }
  // The walk writes regions into the plane as they are finished; a failure there is the output
  // process's, not the patches'.
  struct WriteFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  bool wrote_rows = false;
  const FinishedRegion finished = [&writer, &wrote_rows](const at::Tensor& region, int64_t first_row,
                                                         int64_t first_column) {
    try {
      wrote_rows = true;
      writer->write(region, first_row, first_column);
    } catch (const std::exception& e) {
      throw WriteFailure(e.what());
    }
    // Once per patch, when its activations are gone: not between the four passes of a multisample
    // patch, whose same-sized activations the allocator reuses well.
    return_free_memory();
  };
  // A render that stops half way leaves the plane as it found it, not with its first patches.
  const auto discard_rows = [&] {
    if (wrote_rows)
      std::fill_n(plane.writable(), plane_floats, 0.0f);
  };
  bool walked = false;
  try {
    walked = still_walk_regions(tensor_image, *grid, settings, pass, render_hooks(), finished);
  } catch (const WriteFailure& e) {
    discard_rows();
    report_failure("Error during the final output process", e.what());
    return;
  } catch (const std::exception& e) {
    discard_rows();
    debug_line("Error during image patch processing");
    debug_line(e.what());
    error("%s", patch_error_text(e.what()));
    return;
  }
  if (!walked) {
    discard_rows();
    return;
  }
  writer->log_fitting(3, render_hooks());
  finish_render(run);
}

bool Magnifex::write_output(ImagePlane& plane, const at::Tensor& composite, NonFiniteValues non_finite,
                            const ChannelSet& readChannels)
{
  try {
    const Box& b = plane.bounds();
    PlaneWriter writer(plane.writable(), std::size_t(b.w()) * std::size_t(b.h()) * std::size_t(plane.nComps()),
                       composite.size(2), composite.size(3), plane.nComps(), false);
    writer.set_channel_sources(output_channel_sources(plane.channels(), readChannels, frame_.use_alpha != 0));
    writer.set_non_finite(std::move(non_finite), settings_.scale_factor());
    writer.log_fitting(composite.size(1), render_hooks());
    writer.write(composite, 0);
  } catch (const std::exception& e) {
    report_failure("Error during the final output process", e.what());
    return false;
  }
  return true;
}

void Magnifex::finish_render(const RenderRun& run)
{
  ++frame_.render_count;
  clear_autocast_cache();
  if (settings_.debug) {
    const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - run.start).count();
    debug_line(cat("    RenderStripe total time: ", ms, "ms"));
  }
}
