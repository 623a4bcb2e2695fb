#include "commands/OutputWindow.h"

#include <cstdint>
#include <limits>

namespace render_command {

namespace {

// The node's scale along one axis, or 0 when the node's extent is no whole multiple of the input's.
std::int64_t scaleOf(int node, int input)
{
  return input > 0 && node % input == 0 ? node / input : 0;
}

bool fitsInt(std::int64_t v)
{
  return v >= std::numeric_limits<int>::min() && v <= std::numeric_limits<int>::max();
}

} // namespace

DD::Image::Format placedOutputFormat(const DD::Image::Format& nodeFormat, const DD::Image::Format& inputFormat)
{
  const std::int64_t sx = scaleOf(nodeFormat.w(), inputFormat.w()), sy = scaleOf(nodeFormat.h(), inputFormat.h());
  if (sx == 0 || sy == 0)
    return nodeFormat;
  const std::int64_t x = sx * inputFormat.x(), y = sy * inputFormat.y();
  const std::int64_t r = x + nodeFormat.w(), t = y + nodeFormat.h();
  if (!fitsInt(x) || !fitsInt(y) || !fitsInt(r) || !fitsInt(t))
    return nodeFormat;
  DD::Image::Format placed = nodeFormat;
  placed.set(int(x), int(y), int(r), int(t));
  return placed;
}

} // namespace render_command
