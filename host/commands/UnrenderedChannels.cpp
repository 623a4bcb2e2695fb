#include "commands/UnrenderedChannels.h"

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

namespace {

// Whether `out` is `in` scaled by a whole factor.
bool isScaled(const DD::Image::Box& out, const DD::Image::Box& in)
{
  const int factor = in.w() > 0 ? out.w() / in.w() : 0;
  return factor >= 1 && out.w() == in.w() * factor && out.h() == in.h() * factor && out.x() == in.x() * factor &&
         out.y() == in.y() * factor;
}

// `n` channels of `in` (pixels side by side) resized to `out`'s size, each kept within its own
// range of values: the filter's lobes overshoot at edges (an alpha above 1).
std::vector<float> resized(std::vector<float> samples, const DD::Image::Box& in, int n, const DD::Image::Box& out)
{
#if defined(MAGNIFEX_RENDER_WITH_OIIO)
  namespace oiio = OIIO;
  std::vector<float> low(std::size_t(n), std::numeric_limits<float>::infinity()),
    high(std::size_t(n), -std::numeric_limits<float>::infinity());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const std::size_t k = i % std::size_t(n);
    low[k] = std::min(low[k], samples[i]);
    high[k] = std::max(high[k], samples[i]);
  }
  oiio::ImageBuf small(oiio::ImageSpec(in.w(), in.h(), n, oiio::TypeDesc::FLOAT));
  small.set_pixels(oiio::ROI::All(), oiio::TypeDesc::FLOAT, samples.data());
  oiio::ImageBuf large(oiio::ImageSpec(out.w(), out.h(), n, oiio::TypeDesc::FLOAT));
  if (!oiio::ImageBufAlgo::resize(large, small, kOtherChannelsFilter))
    throw HostError(HostError::Kind::Output, "cannot resize the input's other channels: " + large.geterror());
  samples.resize(std::size_t(out.w()) * std::size_t(out.h()) * std::size_t(n));
  large.get_pixels(oiio::ROI::All(), oiio::TypeDesc::FLOAT, samples.data());
  for (std::size_t i = 0; i < samples.size(); ++i)
    samples[i] = std::clamp(samples[i], low[i % std::size_t(n)], high[i % std::size_t(n)]);
  return samples;
#else
  (void)in;
  return std::vector<float>(std::size_t(out.w()) * std::size_t(out.h()) * std::size_t(n), 0.0f);
#endif
}

HostError notScaled()
{
  return HostError(HostError::Kind::Output,
                   "the input's other channels cannot be carried over: the output is not the input scaled");
}

} // namespace

void upscaleFromInput(DD::Image::ImagePlane& plane, const host_runtime::Image& input,
                      const DD::Image::ChannelSet& channels)
{
  const DD::Image::Box& out = plane.bounds();
  const DD::Image::Box& in = input.box;
  if (!isScaled(out, in))
    throw notScaled();
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
  std::vector<float> samples(std::size_t(in.w()) * std::size_t(in.h()) * std::size_t(n));
  for (int y = 0; y < in.h(); ++y)
    for (int x = 0; x < in.w(); ++x)
      for (int k = 0; k < n; ++k)
        samples[(std::size_t(y) * std::size_t(in.w()) + std::size_t(x)) * std::size_t(n) + std::size_t(k)] =
          input.at(in.x() + x, in.y() + y, sources[std::size_t(k)]);
  samples = resized(std::move(samples), in, n, out);
  plane.makeUnique();
  for (int y = 0; y < out.h(); ++y)
    for (int x = 0; x < out.w(); ++x)
      for (int k = 0; k < n; ++k)
        plane.writableAt(out.x() + x, out.y() + y, targets[std::size_t(k)]) =
          samples[(std::size_t(y) * std::size_t(out.w()) + std::size_t(x)) * std::size_t(n) + std::size_t(k)];
}

CarriedChannels upscaled(CarriedChannels carried, const DD::Image::Box& out)
{
  if (carried.names.empty())
    return carried;
  if (!isScaled(out, carried.box))
    throw notScaled();
  carried.pixels = resized(std::move(carried.pixels), carried.box, int(carried.names.size()), out);
  carried.box = out;
  return carried;
}

std::vector<bool> channelsGivenToTheNode(const std::vector<std::string>& hostNames,
                                         const std::vector<std::string>& asked)
{
  // The host's order: its fixed channels first, then the others as they come.
  auto rank = [&](std::size_t i) -> std::size_t {
    static const char* const fixed[] = {"rgba.red", "rgba.green", "rgba.blue", "rgba.alpha", "depth.Z"};
    for (std::size_t k = 0; k < 5; ++k)
      if (hostNames[i] == fixed[k])
        return k;
    return 5 + i;
  };
  std::vector<std::size_t> order(hostNames.size());
  for (std::size_t i = 0; i < order.size(); ++i)
    order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return rank(a) < rank(b); });
  std::vector<bool> given(hostNames.size(), false);
  for (std::size_t k = 0; k < order.size() && k < kChannelsTheNodeReads; ++k)
    given[order[k]] = true;
  for (std::size_t i = 0; i < hostNames.size(); ++i)
    if (std::find(asked.begin(), asked.end(), hostNames[i]) != asked.end())
      given[i] = true;
  return given;
}

OtherChannelsRule::OtherChannelsRule(OtherChannels action, std::optional<DD::Image::ChannelSet> rendered,
                                     const host_runtime::FileSequenceSource* input, ImageReadSettings carry)
    : action_(action), rendered_(input ? rendered : std::nullopt), input_(input), carry_(std::move(carry))
{}

const DD::Image::ImagePlane& OtherChannelsRule::apply(int f, DD::Image::ImagePlane& plane, std::ostream& err)
{
  carried_ = {};
  if (!rendered_)
    return plane;
  DD::Image::ChannelSet others;
  for (DD::Image::Channel c = plane.channels().first(); c != DD::Image::Chan_Black; c = plane.channels().next(c))
    if (!rendered_->contains(c))
      others += c;
  // Channels the node was not given at all come straight from the file.
  if (carry_.forNode && (action_ == OtherChannels::Resize || !told_)) {
    const std::string file = input_->fileShownAt(std::clamp(f, input_->firstFrame(), input_->lastFrame()));
    try {
      carried_ = readCarriedChannels(file, carry_);
    } catch (const std::runtime_error& e) {
      throw HostError(HostError::Kind::Input, e.what());
    }
  }
  if (others.empty() && carried_.names.empty())
    return plane;
  if (!told_) {
    std::string names = others.empty() ? std::string() : channelListText(others);
    for (const std::string& name : carried_.names)
      names += (names.empty() ? "" : ", ") + name;
    const bool one = others.size() + carried_.names.size() == 1;
    err << "magnifex-render: " << (one ? "channel " : "channels ") << names << (one ? " is" : " are")
        << " not rendered by the node: "
        << (action_ == OtherChannels::Drop ? std::string("left out (--other-channels drop)")
                                           : std::string("upscaled from the input with OpenImageIO's resize (") +
                                               kOtherChannelsFilter + " filter; --other-channels drop leaves them out)")
        << "\n";
    told_ = true;
  }
  carried_ = action_ == OtherChannels::Drop ? CarriedChannels{} : upscaled(std::move(carried_), plane.bounds());
  if (others.empty())
    return plane;
  if (action_ == OtherChannels::Drop) {
    dropped_ = withoutChannels(plane, others);
    return *dropped_;
  }
  upscaleFromInput(plane, *input_->pixels(std::clamp(f, input_->firstFrame(), input_->lastFrame())), others);
  return plane;
}

} // namespace render_command
