// The largest images magnifex-render takes in. A file's header may declare any size; one that
// cannot be held is refused with what was too large, before anything is allocated for it.
#pragma once

#include <cstdint>
#include <string>

namespace render_command {

// Float samples of one frame, at most: 16 GiB.
constexpr std::int64_t kMaxImageBytes = std::int64_t(1) << 34;
// Coordinates must still fit the host's 32-bit boxes after the largest upscale (4x).
constexpr std::int64_t kMaxUpscale = 4;
constexpr std::int64_t kMaxCoordinate = INT32_MAX / kMaxUpscale;

// A file's windows as its header declares them (rows from the top), and its channel count.
struct DeclaredImage {
  std::int64_t x = 0, y = 0, width = 0, height = 0;                 // data window
  std::int64_t fullX = 0, fullY = 0, fullWidth = 0, fullHeight = 0; // display window
  std::int64_t channels = 0;
};

// What makes the image impossible to take, for a message after the file's name; empty when it
// can be held: an empty window, a coordinate beyond ±kMaxCoordinate (the host's rows of the data
// window, flipped within the display window, included), or more than kMaxImageBytes of samples.
std::string imageSizeProblem(const DeclaredImage& image);

} // namespace render_command
