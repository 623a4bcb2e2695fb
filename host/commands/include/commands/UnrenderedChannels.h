// Channels a node hands back without rendering them. A plug-in may say which channels of its
// node's output it renders (runtime/PluginRenderedChannels.h); it fills the others, with 1 say.
// magnifex-render does not write such constants over a file's channels: it upscales them from the
// input with a conventional filter, or leaves them out when asked.
#pragma once

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "DDImage/ChannelSet.h"
#include "DDImage/ImagePlane.h"
#include "commands/CommandLine.h"
#include "imagefiles/ImageFiles.h"
#include "runtime/FileSequenceSource.h"
#include "runtime/ImageSource.h"

namespace render_command {

// The channels of a file (host names, file order) a node that says which channels it renders is
// given: the first kChannelsTheNodeReads in the host's order (red, green, blue, alpha, depth, then
// the others as they come), the most such a node renders from, and those asked for by name
// (--channels). The others take no channel slot: they are carried beside its output, or dropped.
constexpr std::size_t kChannelsTheNodeReads = 4;
std::vector<bool> channelsGivenToTheNode(const std::vector<std::string>& hostNames,
                                         const std::vector<std::string>& asked);

// The channels resized to `out` (their box scaled by a whole factor; HostError Output otherwise).
CarriedChannels upscaled(CarriedChannels carried, const DD::Image::Box& out);

// The resize filter, for messages and help.
extern const char* const kOtherChannelsFilter;

// Writes into `plane`'s `channels` the input's, resized to the plane (whose box must be the
// input's scaled by a whole factor; HostError Output otherwise).
void upscaleFromInput(DD::Image::ImagePlane& plane, const host_runtime::Image& input,
                      const DD::Image::ChannelSet& channels);

// A packed copy of `plane` without `channels`.
DD::Image::ImagePlane withoutChannels(const DD::Image::ImagePlane& plane, const DD::Image::ChannelSet& channels);

// "A, diffuse.R": names as files give them.
std::string channelListText(const DD::Image::ChannelSet& channels);

// What becomes of the channels of each frame's output that the node did not render.
class OtherChannelsRule {
public:
  // `rendered`: the channels the node renders; nothing: all of them (the rule does nothing).
  // `carry`: how the input was read; the file channels its forNode leaves out are carried over
  // (resize) or left out (drop).
  OtherChannelsRule(OtherChannels action, std::optional<DD::Image::ChannelSet> rendered,
                    const host_runtime::FileSequenceSource* input, ImageReadSettings carry = {});

  // The plane to write for frame `f`: `plane` with the other channels upscaled from the input, or
  // a copy without them. The first frame that has such channels says so on `err`.
  const DD::Image::ImagePlane& apply(int f, DD::Image::ImagePlane& plane, std::ostream& err);
  // The channels carried beside the plane apply() returned, resized to it; none when empty.
  const CarriedChannels& carried() const { return carried_; }

private:
  OtherChannels action_;
  std::optional<DD::Image::ChannelSet> rendered_;
  const host_runtime::FileSequenceSource* input_;
  ImageReadSettings carry_;
  CarriedChannels carried_;
  std::optional<DD::Image::ImagePlane> dropped_;
  bool told_ = false;
};

} // namespace render_command
