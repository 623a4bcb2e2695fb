// Channels a node hands back without rendering them. The Magnifex node renders red, green and
// blue (and alpha for CG and hybrid material in sequence mode) and fills every other channel of
// its output with 1. magnifex-render does not write such constants over a file's channels: it
// upscales them from the input with a conventional filter, or leaves them out when asked.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "DDImage/ChannelSet.h"
#include "DDImage/ImagePlane.h"
#include "render/CommandLine.h"
#include "runtime/FileSequenceSource.h"
#include "runtime/HostNode.h"
#include "runtime/ImageSource.h"

namespace render_command {

// The channels a node of `className` renders with its `mode` and `type` knobs' values; nothing
// for classes other than Magnifex (all their channels are their own).
std::optional<DD::Image::ChannelSet> channelsRenderedBy(const std::string& className, double mode, double type);
std::optional<DD::Image::ChannelSet> channelsTheNodeRenders(const host_runtime::HostNode& node);

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
  OtherChannelsRule(OtherChannels action, std::optional<DD::Image::ChannelSet> rendered,
                    const host_runtime::FileSequenceSource* input);

  // The plane to write for frame `f`: `plane` with the other channels upscaled from the input, or
  // a copy without them. The first frame that has such channels says so on `err`.
  const DD::Image::ImagePlane& apply(int f, DD::Image::ImagePlane& plane, std::ostream& err);

private:
  OtherChannels action_;
  std::optional<DD::Image::ChannelSet> rendered_;
  const host_runtime::FileSequenceSource* input_;
  std::optional<DD::Image::ImagePlane> dropped_;
  bool told_ = false;
};

} // namespace render_command
