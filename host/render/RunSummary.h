// The closing line of a render run: what became of its frames. Farm logs are read by it.
#pragma once

#include <string>
#include <utility>

namespace render_command {

struct FrameTally {
  int rendered = 0;      // written to their files
  int existed = 0;       // skipped: the output file was there (--skip-existing)
  int empty = 0;         // skipped: the node wrote no pixels
  double seconds = 0.0;  // spent on the rendered frames
};

// "frames 7-9: 2 rendered (0.42 s per frame), 1 already written, 0 without pixels"
std::string summaryText(std::pair<int, int> frames, const FrameTally& tally);

} // namespace render_command
