// The closing line of a render run: what became of its frames. Farm logs are read by it.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace render_command {

struct FrameTally {
  int rendered = 0;                               // written to their files
  int existed = 0;                                // skipped: the output file was there (--skip-existing)
  int empty = 0;                                  // skipped: the node wrote no pixels
  double seconds = 0.0;                           // spent on the rendered frames
  std::vector<int> failed;                        // the node or the input failed, ascending
  std::optional<std::pair<int, int>> notRendered; // frames not tried after a stop
};

// "frames 7-9: 2 rendered (0.42 s per frame), 1 already written, 0 without pixels", then
// "; failed: 8" and "; not rendered: 9-12" when frames failed or were not tried.
std::string summaryText(std::pair<int, int> frames, const FrameTally& tally);

// "5", "7-9": a range as --frames takes it.
std::string rangeText(std::pair<int, int> frames);

} // namespace render_command
