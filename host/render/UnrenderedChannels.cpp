#include "render/UnrenderedChannels.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "runtime/HostError.h"

#if defined(MAGNIFEX_RENDER_WITH_OIIO)
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#endif

namespace render_command {

using host_runtime::HostError;

const char* const kOtherChannelsFilter = "catmull-rom";

std::optional<DD::Image::ChannelSet> channelsRenderedBy(const std::string& className, double mode, double type)
{
  if (className != "Magnifex")
    return std::nullopt;
  DD::Image::ChannelSet rendered(DD::Image::Mask_RGB);
  // Sequence mode (1) renders alpha for CG (1) and hybrid (2) material.
  if (mode == 1.0 && (type == 1.0 || type == 2.0))
    rendered += DD::Image::Chan_Alpha;
  return rendered;
}

std::optional<DD::Image::ChannelSet> channelsTheNodeRenders(const host_runtime::HostNode& node)
{
  if (node.className() != "Magnifex")
    return std::nullopt;
  return channelsRenderedBy(node.className(), node.knob("mode").get_value(), node.knob("type").get_value());
}

std::string channelListText(const DD::Image::ChannelSet& channels)
{
  std::string text;
  for (DD::Image::Channel c = channels.first(); c != DD::Image::Chan_Black; c = channels.next(c)) {
    std::string name = DD::Image::getName(c);
    if (c == DD::Image::Chan_Alpha)
      name = "A";
    if (name.rfind("other.", 0) == 0)
      name = name.substr(6);
    text += (text.empty() ? "" : ", ") + name;
  }
  return text;
}

DD::Image::ImagePlane withoutChannels(const DD::Image::ImagePlane& plane, const DD::Image::ChannelSet& channels)
{
  DD::Image::ChannelSet kept = plane.channels();
  for (DD::Image::Channel c = channels.first(); c != DD::Image::Chan_Black; c = channels.next(c))
    kept -= c;
  const DD::Image::Box& b = plane.bounds();
  DD::Image::ImagePlane copy(b, true, kept, kept.size());
  copy.makeUnique();
  for (DD::Image::Channel c = kept.first(); c != DD::Image::Chan_Black; c = kept.next(c)) {
    const int from = plane.chanNo(c), to = copy.chanNo(c);
    for (int y = b.y(); y < b.t(); ++y)
      for (int x = b.x(); x < b.r(); ++x)
        copy.writableAt(x, y, to) = plane.at(x, y, from);
  }
  return copy;
}

void upscaleFromInput(DD::Image::ImagePlane& plane, const host_runtime::Image& input,
                      const DD::Image::ChannelSet& channels)
{
  const DD::Image::Box& out = plane.bounds();
  const DD::Image::Box& in = input.box;
  const int factor = in.w() > 0 ? out.w() / in.w() : 0;
  if (factor < 1 || out.w() != in.w() * factor || out.h() != in.h() * factor || out.x() != in.x() * factor ||
      out.y() != in.y() * factor)
    throw HostError(HostError::Kind::Output,
                    "the input's other channels cannot be carried over: the output is not the input scaled");
#if defined(MAGNIFEX_RENDER_WITH_OIIO)
  namespace oiio = OIIO;
  std::vector<int> sources; // input channel index of each channel carried over
  std::vector<int> targets; // plane component
  for (DD::Image::Channel c = channels.first(); c != DD::Image::Chan_Black; c = channels.next(c)) {
    const auto at = std::find(input.channels.begin(), input.channels.end(), c);
    if (at == input.channels.end() || plane.chanNo(c) < 0)
      continue;
    sources.push_back(int(at - input.channels.begin()));
    targets.push_back(plane.chanNo(c));
  }
  if (sources.empty())
    return;
  const int n = int(sources.size());
  oiio::ImageBuf small(oiio::ImageSpec(in.w(), in.h(), n, oiio::TypeDesc::FLOAT));
  std::vector<float> samples(std::size_t(in.w()) * std::size_t(in.h()) * std::size_t(n));
  for (int y = 0; y < in.h(); ++y)
    for (int x = 0; x < in.w(); ++x)
      for (int k = 0; k < n; ++k)
        samples[(std::size_t(y) * std::size_t(in.w()) + std::size_t(x)) * std::size_t(n) + std::size_t(k)] =
          input.at(in.x() + x, in.y() + y, sources[std::size_t(k)]);
  // The filter's lobes overshoot at edges: values beyond the input's own range (an alpha above 1)
  // are cut back to it.
  std::vector<float> low(std::size_t(n), std::numeric_limits<float>::infinity()),
    high(std::size_t(n), -std::numeric_limits<float>::infinity());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const std::size_t k = i % std::size_t(n);
    low[k] = std::min(low[k], samples[i]);
    high[k] = std::max(high[k], samples[i]);
  }
  small.set_pixels(oiio::ROI::All(), oiio::TypeDesc::FLOAT, samples.data());
  oiio::ImageBuf large(oiio::ImageSpec(out.w(), out.h(), n, oiio::TypeDesc::FLOAT));
  if (!oiio::ImageBufAlgo::resize(large, small, kOtherChannelsFilter))
    throw HostError(HostError::Kind::Output, "cannot resize the input's other channels: " + large.geterror());
  samples.resize(std::size_t(out.w()) * std::size_t(out.h()) * std::size_t(n));
  large.get_pixels(oiio::ROI::All(), oiio::TypeDesc::FLOAT, samples.data());
  plane.makeUnique();
  for (int y = 0; y < out.h(); ++y)
    for (int x = 0; x < out.w(); ++x)
      for (int k = 0; k < n; ++k)
        plane.writableAt(out.x() + x, out.y() + y, targets[std::size_t(k)]) = std::clamp(
          samples[(std::size_t(y) * std::size_t(out.w()) + std::size_t(x)) * std::size_t(n) + std::size_t(k)],
          low[std::size_t(k)], high[std::size_t(k)]);
#else
  (void)channels;
#endif
}

OtherChannelsRule::OtherChannelsRule(OtherChannels action, std::optional<DD::Image::ChannelSet> rendered,
                                     const host_runtime::FileSequenceSource* input)
    : action_(action), rendered_(input ? rendered : std::nullopt), input_(input)
{}

const DD::Image::ImagePlane& OtherChannelsRule::apply(int f, DD::Image::ImagePlane& plane, std::ostream& err)
{
  if (!rendered_)
    return plane;
  DD::Image::ChannelSet others;
  for (DD::Image::Channel c = plane.channels().first(); c != DD::Image::Chan_Black; c = plane.channels().next(c))
    if (!rendered_->contains(c))
      others += c;
  if (others.empty())
    return plane;
  if (!told_) {
    err << "magnifex-render: " << (others.size() == 1 ? "channel " : "channels ") << channelListText(others)
        << (others.size() == 1 ? " is" : " are") << " not rendered by the node: "
        << (action_ == OtherChannels::Drop ? std::string("left out (--other-channels drop)")
                                           : std::string("upscaled from the input with OpenImageIO's resize (") +
                                               kOtherChannelsFilter + " filter; --other-channels drop leaves them out)")
        << "\n";
    told_ = true;
  }
  if (action_ == OtherChannels::Drop) {
    dropped_ = withoutChannels(plane, others);
    return *dropped_;
  }
  upscaleFromInput(plane, *input_->pixels(std::clamp(f, input_->firstFrame(), input_->lastFrame())), others);
  return plane;
}

} // namespace render_command
