// Input images whose every pixel tells where it came from.
#pragma once

#include <memory>
#include <vector>

#include "runtime/MemoryImageSource.h"

namespace test_support {

// Pixel (x, y) of channel index c at frame f: exact in float for the small images of the tests.
inline float pixelValue(int frame, int x, int y, int c)
{
  return float(frame * 100000 + c * 10000 + (y + 50) * 100 + (x + 50));
}

inline std::shared_ptr<host_runtime::MemoryImageSource> numberedFrames(const DD::Image::Format& format,
                                                                       const DD::Image::Box& bbox,
                                                                       const std::vector<DD::Image::Channel>& channels,
                                                                       int first, int last)
{
  auto source = std::make_shared<host_runtime::MemoryImageSource>(format);
  for (int f = first; f <= last; ++f)
    source->addFrame(
      f, host_runtime::Image::filled(bbox, channels, [f](int x, int y, int c) { return pixelValue(f, x, y, c); }));
  return source;
}

// A 20 x 10 format starting at (-4, 2), pixel aspect 2, a bounding box partly outside it.
inline DD::Image::Format offsetFormat()
{
  DD::Image::Format format(20, 10, 2.0);
  format.set(-4, 2, 16, 12);
  return format;
}

} // namespace test_support
