// Output format, bounding box and request arithmetic of the node.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "DDImage/Box.h"
#include "DDImage/ChannelSet.h"
#include "DDImage/Format.h"
#include "op/KnobEntries.h"

namespace magnifex {

// Integer division truncating toward zero, as requests divide output coordinates.
int divide_toward_zero(int value, int divisor);

// 1 when four channels (RGBA) are processed, 0 for three.
int processing_alpha(RenderMode mode, Material material);

// Position of channel c among `channels` in their order, -1 when absent.
int channel_position(const DD::Image::ChannelSet& channels, DD::Image::Channel c);

// The channels a render reads from an input with `input` channels for an output asking `asked`:
// those a whole render reads (red, green, blue, and alpha when `alpha` is processed) besides the
// ones asked, so that a channel comes out the same whatever else is asked with it. Empty when the
// input has none of the channels asked.
DD::Image::ChannelSet channels_to_read(const DD::Image::ChannelSet& asked, const DD::Image::ChannelSet& input,
                                       bool alpha);

// Which result channel each channel of `output` takes when `read` were read (-1: none, 1.0).
std::vector<int64_t> output_channel_sources(const DD::Image::ChannelSet& output, const DD::Image::ChannelSet& read,
                                            bool alpha);

// Input contexts of input 0 that the host makes: preroll + 1 in sequence mode, at least one, and
// never more than the largest preroll allows.
int input_split_count(RenderMode mode, int preroll);

// Why a bounding box and format cannot be scaled by `factor` within the host's 32-bit integer
// boxes, or nothing when they can.
std::optional<std::string> upscale_overflow(const DD::Image::Box& box, const DD::Image::Format& format, int factor);

// The patch-count read-out for an input of W x H pixels; "Image patches: -" when the grid is
// not defined (no input, or a step below 1).
std::string patch_count_text(int W, int H, int max_size, int overlap, bool multisample_on, bool still_mode);

} // namespace magnifex
