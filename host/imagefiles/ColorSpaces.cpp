#include "imagefiles/ColorSpaces.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#if defined(MAGNIFEX_RENDER_WITH_OIIO)
#include <OpenImageIO/color.h>
#endif

namespace render_command {

const char* const kLinearColorSpace = "linear";
const char* const kCineonColorSpace = "Cineon";

namespace {

constexpr double kCineonBlack = 95.0, kCineonWhite = 685.0, kCineonGamma = 0.6, kDensityPerCode = 0.002;

double cineonBlackOffset()
{
  static const double offset = std::pow(10.0, (kCineonBlack - kCineonWhite) * kDensityPerCode / kCineonGamma);
  return offset;
}

// Converts the colour channels in place, each value by itself.
template <typename F>
void applyToColour(float* pixels, std::size_t pixelCount, int channelCount, const ColorChannels& channels, F f)
{
  for (std::size_t i = 0; i < pixelCount; ++i)
    for (int k = 0; k < 3; ++k)
      if (channels.slot[k] >= 0) {
        float& v = pixels[i * std::size_t(channelCount) + std::size_t(channels.slot[k])];
        v = f(v);
      }
}

} // namespace

float cineonToLinear(float code)
{
  const double offset = cineonBlackOffset();
  return float((std::pow(10.0, (double(code) * 1023.0 - kCineonWhite) * kDensityPerCode / kCineonGamma) - offset) /
               (1.0 - offset));
}

float linearToCineon(float linear)
{
  const double offset = cineonBlackOffset();
  const double density = std::max(double(linear) * (1.0 - offset) + offset, 1e-10);
  return float((kCineonWhite + std::log10(density) * kCineonGamma / kDensityPerCode) / 1023.0);
}

std::string defaultColorSpace(bool floatPixels)
{
  return floatPixels ? kLinearColorSpace : "sRGB";
}

ColorChannels colorChannelsOf(const std::vector<std::string>& names)
{
  ColorChannels channels;
  int grey = -1;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == "R")
      channels.slot[0] = int(i);
    else if (names[i] == "G")
      channels.slot[1] = int(i);
    else if (names[i] == "B")
      channels.slot[2] = int(i);
    else if (names[i] == "Y")
      grey = int(i);
  }
  if (channels.slot[0] < 0)
    channels.slot[0] = grey;
  return channels;
}

#if defined(MAGNIFEX_RENDER_WITH_OIIO)
namespace {

const OIIO::ColorConfig& colorConfig()
{
  static const OIIO::ColorConfig config; // $OCIO when set
  return config;
}

// The configuration's own name for the working space: its scene_linear role, else "linear".
std::string resolved(const std::string& name)
{
  if (name != kLinearColorSpace)
    return name;
  const char* sceneLinear = colorConfig().getColorSpaceNameByRole("scene_linear");
  return sceneLinear && *sceneLinear ? sceneLinear : kLinearColorSpace;
}

OIIO::ColorProcessorHandle processor(const std::string& from, const std::string& to)
{
  return colorConfig().createColorProcessor(resolved(from), resolved(to));
}

} // namespace

bool isKnownColorSpace(const std::string& name)
{
  return name == kCineonColorSpace || resolved(name) == resolved(kLinearColorSpace) ||
         processor(name, kLinearColorSpace) != nullptr;
}

std::vector<std::string> colorSpaceNames()
{
  std::vector<std::string> names = colorConfig().getColorSpaceNames();
  if (std::find(names.begin(), names.end(), kLinearColorSpace) == names.end())
    names.insert(names.begin(), kLinearColorSpace);
  names.push_back(kCineonColorSpace);
  return names;
}

void convertColorSpace(float* pixels, std::size_t pixelCount, int channelCount, const ColorChannels& channels,
                       const std::string& from, const std::string& to)
{
  if (channels.empty() || from == to)
    return;
  // Cineon goes through the working space, by its own curve.
  if (from == kCineonColorSpace) {
    applyToColour(pixels, pixelCount, channelCount, channels, cineonToLinear);
    convertColorSpace(pixels, pixelCount, channelCount, channels, kLinearColorSpace, to);
    return;
  }
  if (to == kCineonColorSpace) {
    convertColorSpace(pixels, pixelCount, channelCount, channels, from, kLinearColorSpace);
    applyToColour(pixels, pixelCount, channelCount, channels, linearToCineon);
    return;
  }
  if (resolved(from) == resolved(to))
    return;
  const OIIO::ColorProcessorHandle p = processor(from, to);
  if (!p)
    throw std::runtime_error("no conversion from colour space " + from + " to " + to);
  const int first = channels.slot[0] >= 0   ? channels.slot[0]
                    : channels.slot[1] >= 0 ? channels.slot[1]
                                            : channels.slot[2];
  int source[3];
  for (int k = 0; k < 3; ++k)
    source[k] = channels.slot[k] >= 0 ? channels.slot[k] : first;
  // In chunks, so that the copy stays small next to the image.
  constexpr std::size_t kChunk = 16384;
  std::vector<float> rgb(3 * std::min(pixelCount, kChunk));
  const std::size_t n = std::size_t(channelCount);
  for (std::size_t start = 0; start < pixelCount; start += kChunk) {
    const std::size_t count = std::min(kChunk, pixelCount - start);
    float* block = pixels + start * n;
    for (std::size_t i = 0; i < count; ++i)
      for (int k = 0; k < 3; ++k)
        rgb[3 * i + std::size_t(k)] = block[i * n + std::size_t(source[k])];
    p->apply(rgb.data(), int(count), 1, 3, sizeof(float), 3 * sizeof(float), OIIO::AutoStride);
    for (std::size_t i = 0; i < count; ++i)
      for (int k = 0; k < 3; ++k)
        if (channels.slot[k] >= 0)
          block[i * n + std::size_t(channels.slot[k])] = rgb[3 * i + std::size_t(k)];
  }
}

#else

bool isKnownColorSpace(const std::string& name)
{
  return name == kLinearColorSpace || name == kCineonColorSpace;
}

std::vector<std::string> colorSpaceNames()
{
  return {kLinearColorSpace, kCineonColorSpace};
}

void convertColorSpace(float*, std::size_t, int, const ColorChannels& channels, const std::string& from,
                       const std::string& to)
{
  if (!channels.empty() && from != to)
    throw std::runtime_error("this magnifex-render was built without colour conversions");
}

#endif

} // namespace render_command
