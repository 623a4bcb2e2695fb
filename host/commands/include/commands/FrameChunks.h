// A frame range cut into chunks of a fixed number of frames: one farm task per chunk.
#pragma once

#include <cstdint>
#include <utility>

namespace render_command {

struct FrameChunk {
  int first = 0, last = 0;
};

// Chunks of `size` frames (size >= 1) from frames.first on; the last one may be shorter. Worked
// in 64 bits: a range as wide as int itself has 2^32 single-frame chunks, and no chunk end wraps.
std::int64_t chunkCount(std::pair<int, int> frames, int size);
// Chunk `index` (0 .. chunkCount - 1).
FrameChunk chunkAt(std::pair<int, int> frames, int size, std::int64_t index);

} // namespace render_command
