// Reading the node's input for a render: planes to host tensors, failures to the node's texts.
#include "op/InputReader.h"

#include "op/DebugStream.h"
#include "op/FormatRules.h"
#include "render/PlaneTensor.h"

using namespace DD::Image;

namespace magnifex {

ChannelSet InputReader::read_channels(const ImagePlane& plane) const
{
  const bool debug = run_.settings.debug;
  ChannelSet readChannels = plane.channels();
  const ChannelSet inputChannels = run_.node.input0()->channels();
  if (debug) {
    debug_line("Got the readChannels: " + cat(readChannels));
    debug_line("Got the inputChannels: " + cat(inputChannels));
  }
  readChannels = channels_to_read(readChannels, inputChannels, run_.frame.use_alpha != 0);
  if (debug) {
    debug_line("Processed the readChannels: " + cat(readChannels));
    debug_line(cat("Got the channelset: ", cat(readChannels), ", with nr of channels: ", readChannels.size()));
    for (Channel c = readChannels.first(); c != Chan_Black; c = readChannels.next(c))
      debug_line(cat("checking channel: ", getName(c)));
    if (readChannels.size() == 1)
      debug_line("The channel count is only 1");
  }
  return readChannels;
}

bool InputReader::begin(const char* mode, const ImagePlane& plane)
{
  if (run_.settings.debug)
    debug_line(mode);
  if (run_.node.aborted())
    return false;
  const Iop& in = *run_.node.input0();
  box_ = Box(in.x(), in.y(), in.r(), in.t());
  channels_ = read_channels(plane);
  return true;
}

bool InputReader::output_fits(const ImagePlane& plane)
{
  if (channels_.empty()) {
    run_.node.error("Nothing to render: the input has none of the channels the output asks for");
    return false;
  }
  const int S = run_.settings.scale_factor(), W = box_.w(), H = box_.h();
  const Box& b = plane.bounds();
  if (plane.channels().empty() || plane.nComps() < 1) {
    run_.node.error("Nothing to render: the output asks for no channels");
    return false;
  }
  if (!plane.packed() || std::int64_t(b.w()) != std::int64_t(S) * W || std::int64_t(b.h()) != std::int64_t(S) * H) {
    run_.node.error("The output plane does not cover the whole upscaled image (%d x %d pixels, packed)", S * W, S * H);
    return false;
  }
  return true;
}

std::optional<PatchGrid> InputReader::patch_grid(bool multisample)
{
  const NodeSettings& s = run_.settings;
  const int W = box_.w(), H = box_.h();
  std::optional<PatchGrid> grid = compute_patch_grid(W, H, s.max_size, s.overlap, s.padding, multisample);
  if (!grid)
    run_.node.error("No patch grid for a %d x %d input with max size %d", W, H, s.max_size);
  return grid;
}

std::unique_ptr<ImagePlane> InputReader::fetch(Iop& source, const Box& box)
{
  source.request(box, channels_, 1);
  auto plane = std::make_unique<ImagePlane>(box, false, channels_, int(channels_.size()));
  source.fetchPlane(*plane);
  return plane;
}

std::optional<at::Tensor> InputReader::to_host(const ImagePlane& plane)
{
  const float* pixels = nullptr;
  try {
    pixels = plane.readable();
  } catch (const std::exception& e) {
    run_.report_failure("Error allocating the current frame", e.what());
    return std::nullopt;
  }
  const Box& b = plane.bounds();
  return host_tensor_from_planes(pixels, int(channels_.size()), b.h(), b.w(), run_.gpu_in_use);
}

std::optional<ContextBox> InputReader::context_box(int context)
{
  Iop* source = run_.node.input(context);
  if (!source)
    return std::nullopt;
  source->validate(true);
  return ContextBox{source->x(), source->y(), source->r(), source->t()};
}

std::optional<at::Tensor> InputReader::read(int context, const PatchRect& p, bool current_frame)
{
  Iop* source = run_.node.input(context);
  if (!source) {
    run_.node.error("Input context %d of the preroll is missing", context);
    return std::nullopt;
  }
  const int H = box_.h();
  const Box request(box_.x() + p.xStart, box_.y() + H - p.yEnd, box_.x() + p.xEnd, box_.y() + H - p.yStart);
  const int n = int(channels_.size());
  const bool debug = run_.settings.debug;
  if (debug && current_frame)
    debug_line(cat("Requested input(", context, "): ", request.x(), ", ", request.y(), ", ", request.r(), ", ",
                   request.t(), "; readChannels: ", channels_));
  else if (debug)
    debug_line(cat("Requested input(", context, "): ", request.x(), ", ", request.y(), ", ", request.r(), ", ",
                   request.t(), "; readChannels: ", channels_, "; channel_count: ", n));
  const std::unique_ptr<ImagePlane> plane = fetch(*source, request);
  std::optional<at::Tensor> host = to_host(*plane);
  if (host && debug && current_frame) {
    debug_line("Allocated tensor for this frame (sequence)");
  } else if (host && debug) {
    debug_line("Tensor allocated");
    debug_line(cat("Tensor filled with image data, channel count: ", n));
  }
  return host;
}

} // namespace magnifex
