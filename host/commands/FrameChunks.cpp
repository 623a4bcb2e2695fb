#include "commands/FrameChunks.h"

#include <algorithm>

namespace render_command {

std::int64_t chunkCount(std::pair<int, int> frames, int size)
{
  const std::int64_t frameCount = std::int64_t(frames.second) - frames.first + 1;
  return (frameCount + size - 1) / size;
}

FrameChunk chunkAt(std::pair<int, int> frames, int size, std::int64_t index)
{
  const std::int64_t first = frames.first + index * size;
  const std::int64_t last = std::min<std::int64_t>(first + size - 1, frames.second);
  return {int(first), int(last)};
}

} // namespace render_command
