// Sequence mode's glue: the frame's settings from the knobs, reading each patch of each frame from
// the input contexts, the networks as callables, and the end-of-render bookkeeping.
#include "op/Magnifex.h"

#include <ATen/ops/full.h>

#include "models/CatalogueConstants.h"
#include "op/DebugStream.h"
#include "op/FormatRules.h"
#include "render/PlaneTensor.h"
#include "render/sequence/SequenceFrame.h"

using namespace DD::Image;
using namespace magnifex;

std::optional<at::Tensor> Magnifex::read_patch(int context, const PatchRect& p, const Box& input_box,
                                               const ChannelSet& readChannels, const RenderRun& run, bool current_frame)
{
  Iop* source = input(context);
  if (!source) {
    error("Input context %d of the preroll is missing", context);
    return std::nullopt;
  }
  const int H = input_box.h();
  const Box request(input_box.x() + p.xStart, input_box.y() + H - p.yEnd, input_box.x() + p.xEnd,
                    input_box.y() + H - p.yStart);
  const int n = int(readChannels.size());
  if (settings_.debug && current_frame)
    debug_line(cat("Requested input(", context, "): ", request.x(), ", ", request.y(), ", ", request.r(), ", ",
                   request.t(), "; readChannels: ", readChannels));
  else if (settings_.debug)
    debug_line(cat("Requested input(", context, "): ", request.x(), ", ", request.y(), ", ", request.r(), ", ",
                   request.t(), "; readChannels: ", readChannels, "; channel_count: ", n));
  source->request(request, readChannels, 1);
  ImagePlane patch_plane(request, false, readChannels, n);
  source->fetchPlane(patch_plane);
  const float* pixels = nullptr;
  try {
    pixels = patch_plane.readable();
  } catch (const std::exception& e) {
    report_failure("Error allocating the current frame", e.what());
    return std::nullopt;
  }
  at::Tensor host = host_tensor_from_planes(pixels, n, p.height(), p.width(), run.gpu_in_use);
  if (settings_.debug && current_frame) {
    debug_line("Allocated tensor for this frame (sequence)");
  } else if (settings_.debug) {
    debug_line("Tensor allocated");
    debug_line(cat("Tensor filled with image data, channel count: ", n));
  }
  return host;
}

namespace {

// The node's input contexts as the sequence frame reads them.
class ContextReader : public SequencePatchReader {
public:
  using Read = std::function<std::optional<at::Tensor>(int, const PatchRect&, bool)>;
  ContextReader(Iop& op, Read read) : op_(op), read_(std::move(read)) {}

  std::optional<ContextBox> context_box(int context) override
  {
    Iop* source = op_.input(context);
    if (!source)
      return std::nullopt;
    source->validate(true);
    return ContextBox{source->x(), source->y(), source->r(), source->t()};
  }
  std::optional<at::Tensor> read(int context, const PatchRect& patch, bool current_frame) override
  {
    return read_(context, patch, current_frame);
  }

private:
  Iop& op_;
  Read read_;
};

} // namespace

void Magnifex::render_sequence(ImagePlane& plane, const RenderRun& run)
{
  Box input_box;
  ChannelSet readChannels;
  if (!begin_mode("Sequence mode", plane, input_box, readChannels) || aborted())
    return;
  const int W = input_box.w(), H = input_box.h();
  const int F = static_cast<int>(outputContext().frame());
  if (F < settings_.first_frame || F > settings_.last_frame)
    return;
  const std::string channel_text = cat(readChannels);
  if (readChannels.empty()) {
    error("Nothing to render: the input has none of the channels the output asks for");
    return;
  }
  if (!output_plane_fits(plane, W, H))
    return;

  const std::size_t r = std::size_t(frame_.render_count);
  if (sequence_memory_.reset_if_channels_differ(r, channel_text)) {
    frame_.preroll_frames.clear();
    if (settings_.preroll >= 1)
      compute_preroll_frames(F);
  }
  const std::optional<PatchGrid> grid =
    compute_patch_grid(W, H, settings_.max_size, settings_.overlap, settings_.padding, false);
  if (!grid) {
    error("No patch grid for a %d x %d input with max size %d", W, H, settings_.max_size);
    return;
  }

  SequenceFrameSettings settings;
  settings.frame = F;
  settings.render_index = r;
  settings.material = settings_.material();
  settings.scale = settings_.scale_factor();
  settings.debugoutput = settings_.debugoutput;
  settings.alpha_index = channel_position(readChannels, Chan_Alpha);
  settings.input_box = ContextBox{input_box.x(), input_box.y(), input_box.r(), input_box.t()};
  settings.preroll_frames = frame_.preroll_frames;
  settings.frame_to_input = frame_.frame_to_input;
  settings.device = run.device;

  const bool gpu = run.gpu_in_use;
  SequenceNetworks networks;
  const at::Tensor iterations =
    at::full({1}, static_cast<float>(catalogue::flow_iterations), at::TensorOptions().device(run.device));
  networks.flow = [this, iterations](const at::Tensor& current, const at::Tensor& previous) {
    return networks_.flow_net.forward({current, previous, iterations}).toTensor();
  };
  networks.main = [this, gpu](const at::Tensor& lr, const at::Tensor& hr) {
    return run_network(networks_.sequence_net, {lr, hr}, gpu);
  };
  networks.colour = [this, gpu](const at::Tensor& lr, const at::Tensor& hr) {
    return run_network(networks_.sequence_rgb_net, {lr, hr}, gpu);
  };

  ContextReader reader(*this, [&](int context, const PatchRect& p, bool current_frame) {
    return read_patch(context, p, input_box, readChannels, run, current_frame);
  });
  SequenceFrameResult frame =
    render_sequence_frame(settings, *grid, W, H, sequence_memory_, reader, networks, render_hooks());
  if (frame.failure) {
    for (const std::string& line : frame.failure->log)
      debug_line(line);
    error("%s", frame.failure->message.c_str());
    return;
  }
  if (!frame.composite.defined())
    return;
  if (!write_output(plane, frame.composite, std::move(frame.non_finite), readChannels))
    return;
  sequence_memory_.mark_saved(r, channel_text);
  finish_render(run);
}
