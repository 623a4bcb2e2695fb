#include "imagefiles/ImageLimits.h"

#include <cstdlib>
#include <initializer_list>

namespace render_command {
namespace {

std::string sizeText(std::int64_t width, std::int64_t height)
{
  return std::to_string(width) + " x " + std::to_string(height);
}

// Coordinates a window reaches; every value has been checked to lie far from overflowing.
bool withinReach(std::initializer_list<std::int64_t> values)
{
  for (std::int64_t v : values)
    if (v < -kMaxCoordinate || v > kMaxCoordinate)
      return false;
  return true;
}

} // namespace

std::string imageSizeProblem(const DeclaredImage& d)
{
  if (d.width <= 0 || d.height <= 0)
    return "empty image (" + sizeText(d.width, d.height) + " pixels)";
  if (d.fullWidth <= 0 || d.fullHeight <= 0)
    return "empty display window (" + sizeText(d.fullWidth, d.fullHeight) + " pixels)";
  if (d.channels <= 0)
    return "no channels";
  const std::string reach =
    "coordinates must lie within -" + std::to_string(kMaxCoordinate) + ".." + std::to_string(kMaxCoordinate);
  // Each term is within reach before it is added, so the sums below cannot overflow 64 bits.
  if (!withinReach({d.x, d.y, d.width, d.height, d.fullX, d.fullY, d.fullWidth, d.fullHeight}) ||
      !withinReach({d.x + d.width, d.y + d.height, d.fullX + d.fullWidth, d.fullY + d.fullHeight}))
    return "data or display window too far out (data window " + sizeText(d.width, d.height) + " at " +
           std::to_string(d.x) + ", " + std::to_string(d.y) + "; display window " +
           sizeText(d.fullWidth, d.fullHeight) + " at " + std::to_string(d.fullX) + ", " + std::to_string(d.fullY) +
           "): " + reach;
  // The host counts rows from the bottom of the display window.
  const std::int64_t hostTop = 2 * d.fullY + d.fullHeight - d.y;
  if (!withinReach({hostTop, hostTop - d.height}))
    return "data window too far from the display window (rows " + std::to_string(hostTop - d.height) + " to " +
           std::to_string(hostTop) + " counted from its bottom): " + reach;
  const std::int64_t maxPixels = kMaxImageBytes / std::int64_t(sizeof(float)) / d.channels;
  if (d.width > maxPixels / d.height)
    return "image too large (" + sizeText(d.width, d.height) + " pixels of " + std::to_string(d.channels) +
           " channels; at most " + std::to_string(kMaxImageBytes >> 30) + " GiB of float samples)";
  return {};
}

} // namespace render_command
