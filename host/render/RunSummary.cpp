#include "render/RunSummary.h"

#include <sstream>

namespace render_command {

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
  return o.str();
}

} // namespace render_command
