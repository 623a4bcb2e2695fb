#include "op/FormatRules.h"

#include <algorithm>

#include <cstdint>
#include <limits>

#include "op/KnobEntries.h"
#include "render/ChannelFitting.h"
#include "render/PatchGrid.h"
#include "render/sequence/PrerollFrames.h"

namespace magnifex {

int divide_toward_zero(int value, int divisor)
{
  return value / divisor; // C++ integer division already truncates toward zero
}

int processing_alpha(RenderMode mode, Material material)
{
  return (mode == RenderMode::Sequence && material != Material::Plates) ? 1 : 0;
}

int input_split_count(RenderMode mode, int preroll)
{
  if (mode == RenderMode::Still)
    return 1;
  // A negative preroll would ask the host for no context at all, a huge one for billions.
  return std::clamp(preroll, 0, kMaxPreroll) + 1;
}

std::optional<std::string> upscale_overflow(const DD::Image::Box& box, const DD::Image::Format& format, int factor)
{
  const std::int64_t limit = std::numeric_limits<int>::max() / factor;
  for (const std::int64_t v :
       {std::int64_t(box.x()), std::int64_t(box.y()), std::int64_t(box.r()), std::int64_t(box.t()),
        std::int64_t(format.x()), std::int64_t(format.y()), std::int64_t(format.r()), std::int64_t(format.t())})
    if (v > limit || v < -limit)
      return "The input is too large to upscale " + std::to_string(factor) + "x: its coordinates must lie within " +
             std::to_string(-limit) + " and " + std::to_string(limit);
  if (std::int64_t(format.r()) - format.x() > limit || std::int64_t(format.t()) - format.y() > limit ||
      std::int64_t(box.r()) - box.x() > limit || std::int64_t(box.t()) - box.y() > limit)
    return "The input is too large to upscale " + std::to_string(factor) + "x: it must be at most " +
           std::to_string(limit) + " pixels wide and high";
  return std::nullopt;
}

std::string patch_count_text(int W, int H, int max_size, int overlap, bool multisample_on, bool still_mode)
{
  const bool four_passes = multisample_on && still_mode;
  const std::optional<PatchGrid> grid = compute_patch_grid(W, H, max_size, overlap, 0, four_passes);
  return grid ? grid_count_text("Image patches: ", *grid, four_passes) : "Image patches: -";
}

int channel_position(const DD::Image::ChannelSet& channels, DD::Image::Channel c)
{
  int index = 0;
  for (DD::Image::Channel k = channels.first(); k != DD::Image::Chan_Black; k = channels.next(k), ++index)
    if (k == c)
      return index;
  return -1;
}

DD::Image::ChannelSet channels_to_read(const DD::Image::ChannelSet& asked, const DD::Image::ChannelSet& input,
                                       bool alpha)
{
  if ((asked & input).empty())
    return DD::Image::ChannelSet();
  DD::Image::ChannelSet read = asked | DD::Image::ChannelSet(DD::Image::Mask_RGB);
  if (alpha)
    read += DD::Image::Chan_Alpha;
  return read & input;
}

std::vector<int64_t> output_channel_sources(const DD::Image::ChannelSet& output, const DD::Image::ChannelSet& read,
                                            bool alpha)
{
  std::vector<int> positions;
  for (DD::Image::Channel c = output.first(); c != DD::Image::Chan_Black; c = output.next(c))
    positions.push_back(channel_position(read, c));
  std::vector<int64_t> sources =
    result_channel_sources(positions, alpha ? channel_position(read, DD::Image::Chan_Alpha) : -1);
  // The alpha types make an alpha even from an input without one (opaque).
  const int alpha_at = channel_position(output, DD::Image::Chan_Alpha);
  if (alpha && alpha_at >= 0)
    sources[std::size_t(alpha_at)] = 3;
  return sources;
}

} // namespace magnifex
