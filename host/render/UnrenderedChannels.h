// Channels a node hands back without rendering them. The Magnifex node renders red, green and
// blue (and alpha for CG and hybrid material in sequence mode) and fills every other channel of
// its output with 1. magnifex-render does not write such constants over a file's channels: it
// upscales them from the input with a conventional filter, or leaves them out when asked.
#pragma once

#include <optional>
#include <string>

#include "DDImage/ChannelSet.h"
#include "DDImage/ImagePlane.h"
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
void upscaleFromInput(DD::Image::ImagePlane& plane, const host_runtime::Image& input, const DD::Image::ChannelSet& channels);

// A packed copy of `plane` without `channels`.
DD::Image::ImagePlane withoutChannels(const DD::Image::ImagePlane& plane, const DD::Image::ChannelSet& channels);

// "A, diffuse.R": names as files give them.
std::string channelListText(const DD::Image::ChannelSet& channels);

} // namespace render_command
