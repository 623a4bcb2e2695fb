// Deterministic test pictures for the benchmarks: smooth gradients, soft shapes and fine noise, so
// that networks see something like a plate rather than a constant.
#pragma once

#include <memory>
#include <vector>

#include "runtime/MemoryImageSource.h"

namespace bench {

// Pixel (x, y) of channel c (0 red .. 3 alpha) of frame f: linear values 0 .. ~1, alpha 0.2 .. 1.
// Frame f is frame 1 moved f - 1 pixels right and down.
float picture_value(int frame, int x, int y, int c);

// Frames first..last of a W x H picture with the given channels, format at the origin.
std::shared_ptr<host_runtime::MemoryImageSource> picture_source(int W, int H, int first, int last,
                                                                const std::vector<DD::Image::Channel>& channels);

} // namespace bench
