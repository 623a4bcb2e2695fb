// Image files the tests make and inspect themselves with OpenImageIO, as stored: no colour
// conversion, alpha neither multiplied in nor divided out, rows as in the file (top first),
// integer samples scaled to 0..1.
#pragma once

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <OpenImageIO/imageio.h>

namespace test_support {

struct RawImage {
  OIIO::ImageSpec spec;
  std::vector<float> pixels;

  // Sample c of the pixel at column x, row y of the data window (0, 0: its top left).
  float at(int x, int y, int c) const
  {
    return pixels[(std::size_t(y) * std::size_t(spec.width) + std::size_t(x)) * std::size_t(spec.nchannels) +
                  std::size_t(c)];
  }
};

inline RawImage readRaw(const std::string& path)
{
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  auto in = OIIO::ImageInput::open(path, &config);
  if (!in)
    throw std::runtime_error("test cannot read " + path + ": " + OIIO::geterror());
  RawImage image{in->spec(), {}};
  image.pixels.resize(std::size_t(image.spec.width) * std::size_t(image.spec.height) *
                      std::size_t(image.spec.nchannels));
  if (!in->read_image(0, 0, 0, image.spec.nchannels, OIIO::TypeDesc::FLOAT, image.pixels.data()))
    throw std::runtime_error("test cannot read " + path + ": " + in->geterror());
  return image;
}

// Writes `spec` with sample c of pixel (x, y) of the data window (rows from the top) = value.
inline void writeRaw(const std::string& path, OIIO::ImageSpec spec,
                     const std::function<float(int x, int y, int c)>& value)
{
  spec.attribute("oiio:UnassociatedAlpha", 1);
  std::vector<float> pixels;
  for (int y = 0; y < spec.height; ++y)
    for (int x = 0; x < spec.width; ++x)
      for (int c = 0; c < spec.nchannels; ++c)
        pixels.push_back(value(x, y, c));
  auto out = OIIO::ImageOutput::create(path);
  if (!out || !out->open(path, spec) || !out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()) || !out->close())
    throw std::runtime_error("test cannot write " + path);
}

inline OIIO::ImageSpec specOf(int width, int height, const std::vector<std::string>& channels, OIIO::TypeDesc type)
{
  OIIO::ImageSpec spec(width, height, int(channels.size()), type);
  spec.channelnames = channels;
  spec.alpha_channel = -1;
  for (std::size_t c = 0; c < channels.size(); ++c)
    if (channels[c] == "A")
      spec.alpha_channel = int(c);
  return spec;
}

// The sRGB and Rec. 709 transfer functions, as their standards define them.
inline double srgbToLinear(double v)
{
  return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}
inline double linearToSrgb(double v)
{
  return v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
}
inline double rec709ToLinear(double v)
{
  return v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1.0 / 0.45);
}

// A value as an integer file of `levels` steps stores it.
inline double quantized(double v, int levels)
{
  return std::round(v * levels) / levels;
}

} // namespace test_support
