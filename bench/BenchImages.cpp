#include "BenchImages.h"

#include <cmath>
#include <cstdint>

namespace bench {

namespace {

// A hash of the pixel position, 0 .. 1.
float grain(int x, int y, int c)
{
  std::uint32_t h = std::uint32_t(x) * 73856093u ^ std::uint32_t(y) * 19349663u ^ std::uint32_t(c) * 83492791u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  return float(h & 0xffffu) / 65535.0f;
}

} // namespace

float picture_value(int frame, int x, int y, int c)
{
  const float fx = float(x - frame + 1), fy = float(y - frame + 1);
  const float gradient =
    0.15f + 0.5f * (0.5f + 0.5f * std::sin(fx * 0.013f + c)) * (0.6f + 0.4f * std::cos(fy * 0.009f));
  const float disc = std::hypot(std::fmod(fx, 160.0f) - 80.0f, std::fmod(fy, 120.0f) - 60.0f) < 35.0f ? 0.35f : 0.0f;
  const float stripes = 0.08f * std::sin((fx + fy) * 0.4f);
  const float value = gradient + disc + stripes + 0.03f * grain(x - frame, y - frame, c);
  return c == 3 ? 0.2f + 0.8f * std::min(1.0f, value) : value;
}

std::shared_ptr<host_runtime::MemoryImageSource> picture_source(int W, int H, int first, int last,
                                                                const std::vector<DD::Image::Channel>& channels)
{
  auto source = std::make_shared<host_runtime::MemoryImageSource>(DD::Image::Format(W, H));
  for (int f = first; f <= last; ++f)
    source->addFrame(f, host_runtime::Image::filled(DD::Image::Box(0, 0, W, H), channels,
                                                    [f](int x, int y, int c) { return picture_value(f, x, y, c); }));
  return source;
}

} // namespace bench
