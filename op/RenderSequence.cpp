// Sequence mode's glue: the preroll plan, the frame's settings from the knobs, the networks as
// callables, the write-back and the end-of-render bookkeeping.
#include "op/RenderSequence.h"

#include <ATen/ops/full.h>

#include "models/CatalogueConstants.h"
#include "models/NetworkSet.h"
#include "op/DebugStream.h"
#include "op/FormatRules.h"
#include "op/InputReader.h"
#include "render/WriteBack.h"
#include "render/sequence/PrerollFrames.h"
#include "render/sequence/SequenceFrame.h"

using namespace DD::Image;

namespace magnifex {
namespace {

// Copies the decoded composite into the plane, each channel from its own result channel, with the
// input's non-finite values put back; false after a node error.
bool write_output(const RenderRun& run, ImagePlane& plane, const at::Tensor& composite, NonFiniteValues non_finite,
                  const ChannelSet& readChannels)
{
  try {
    const Box& b = plane.bounds();
    PlaneWriter writer(plane.writable(), std::size_t(b.w()) * std::size_t(b.h()) * std::size_t(plane.nComps()),
                       composite.size(2), composite.size(3), plane.nComps(), false);
    writer.set_channel_sources(output_channel_sources(plane.channels(), readChannels, run.frame.use_alpha != 0));
    writer.set_non_finite(std::move(non_finite), run.settings.scale_factor());
    writer.log_fitting(composite.size(1), run.hooks());
    writer.write(composite, 0);
  } catch (const std::exception& e) {
    run.report_failure("Error during the final output process", e.what());
    return false;
  }
  return true;
}

} // namespace

void SequenceRender::plan_preroll(int frame, const NodeSettings& settings, FrameState& state) const
{
  state.preroll_frames.clear();
  if (settings.preroll < 1)
    return;
  PrerollPlan plan = compute_preroll_plan(frame, settings.preroll, settings.first_frame);
  state.preroll_frames = std::move(plan.frames);
  state.frame_to_input = std::move(plan.frame_to_input);
  state.input_context_count = plan.input_context_count;
}

void SequenceRender::validate(int frame, const NodeSettings& settings, FrameState& state)
{
  if (!memory_.empty() && !memory_.continues(frame))
    memory_.reset();
  if (memory_.empty())
    plan_preroll(frame, settings, state);
  else
    state.preroll_frames.clear();
}

void SequenceRender::render(const RenderRun& run, ImagePlane& plane)
{
  const NodeSettings& knobs = run.settings;
  InputReader reader(run);
  if (!reader.begin("Sequence mode", plane) || run.node.aborted())
    return;
  const int F = static_cast<int>(run.node.outputContext().frame());
  if (F < knobs.first_frame || F > knobs.last_frame)
    return;
  if (!reader.output_fits(plane))
    return;

  const ChannelSet& readChannels = reader.channels();
  const std::string channel_text = cat(readChannels);
  const std::size_t r = std::size_t(run.frame.render_count);
  if (memory_.reset_if_channels_differ(r, channel_text))
    plan_preroll(F, knobs, run.frame);
  const std::optional<PatchGrid> grid = reader.patch_grid(false);
  if (!grid)
    return;

  const Box& input_box = reader.box();
  SequenceFrameSettings settings;
  settings.frame = F;
  settings.render_index = r;
  settings.material = knobs.material();
  settings.scale = knobs.scale_factor();
  settings.debugoutput = knobs.debugoutput;
  settings.alpha_index = channel_position(readChannels, Chan_Alpha);
  settings.input_box = ContextBox{input_box.x(), input_box.y(), input_box.r(), input_box.t()};
  settings.preroll_frames = run.frame.preroll_frames;
  settings.frame_to_input = run.frame.frame_to_input;
  settings.device = run.device;

  NetworkSet& nets = run.networks;
  SequenceNetworks networks;
  const at::Tensor iterations =
    at::full({1}, static_cast<float>(catalogue::flow_iterations), at::TensorOptions().device(run.device));
  networks.flow = [&nets, iterations](const at::Tensor& current, const at::Tensor& previous) {
    return nets.flow_net.forward({current, previous, iterations}).toTensor();
  };
  networks.main = [&run, &nets](const at::Tensor& lr, const at::Tensor& hr) {
    return run.pass(nets.sequence_net, {lr, hr});
  };
  networks.colour = [&run, &nets](const at::Tensor& lr, const at::Tensor& hr) {
    return run.pass(nets.sequence_rgb_net, {lr, hr});
  };

  SequenceFrameResult frame =
    render_sequence_frame(settings, *grid, input_box.w(), input_box.h(), memory_, reader, networks, run.hooks());
  if (frame.failure) {
    for (const std::string& line : frame.failure->log)
      debug_line(line);
    run.node.error("%s", frame.failure->message.c_str());
    return;
  }
  if (!frame.composite.defined())
    return;
  if (!write_output(run, plane, frame.composite, std::move(frame.non_finite), readChannels))
    return;
  memory_.mark_saved(r, channel_text);
  run.finish();
}

} // namespace magnifex
