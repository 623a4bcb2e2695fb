#include "commands/RunSummary.h"

#include <sstream>

namespace render_command {

std::string rangeText(std::pair<int, int> frames)
{
  return frames.first == frames.second ? std::to_string(frames.first)
                                       : std::to_string(frames.first) + "-" + std::to_string(frames.second);
}

std::string summaryText(std::pair<int, int> frames, const FrameTally& tally)
{
  std::ostringstream o;
  o << "frames " << frames.first << "-" << frames.second << ": " << tally.rendered << " rendered";
  if (tally.rendered > 0) {
    o.setf(std::ios::fixed);
    o.precision(3);
    o << " (" << tally.seconds / tally.rendered << " s per frame)";
  }
  o << ", " << tally.existed << " already written, " << tally.empty << " without pixels";
  if (!tally.failed.empty()) {
    o << "; failed:";
    for (std::size_t i = 0; i < tally.failed.size(); ++i)
      o << (i ? ", " : " ") << tally.failed[i];
  }
  if (tally.notRendered)
    o << "; not rendered: " << rangeText(*tally.notRendered);
  return o.str();
}

} // namespace render_command
