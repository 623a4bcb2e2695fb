// What every render of either mode reports through the node.
#include "op/RenderRun.h"

#include "models/TorchCompat.h"
#include "op/DebugStream.h"

namespace magnifex {

RenderHooks RenderRun::hooks() const
{
  RenderHooks hooks;
  DD::Image::Iop& op = node;
  hooks.progress = [&op](int done, int total) { op.progressFraction(done, total); };
  hooks.aborted = [&op] { return op.aborted(); };
  if (settings.debug)
    hooks.debug = [](const std::string& line) { debug_line(line); };
  return hooks;
}

void RenderRun::report_failure(const char* stage, const std::string& what, const char* node_text) const
{
  // The exception's text always reaches the log; the node shows the stage.
  debug_line(stage);
  debug_line(what);
  node.error("%s", node_text ? node_text : stage);
}

void RenderRun::finish() const
{
  ++frame.render_count;
  clear_autocast_cache();
  if (settings.debug) {
    const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    debug_line(cat("    RenderStripe total time: ", ms, "ms"));
  }
}

} // namespace magnifex
