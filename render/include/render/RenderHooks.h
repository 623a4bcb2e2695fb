// What the render pipeline needs from its caller, as plain callables: the pipeline knows no host.
#pragma once

#include <functional>
#include <string>

#include <ATen/core/Tensor.h>

namespace magnifex {

// Writes one line of the debug stream; empty when debug output is off.
using DebugLog = std::function<void(const std::string&)>;

struct RenderHooks {
  // The host's progress report: done of total steps.
  std::function<void(int done, int total)> progress;
  // True once the host has aborted the render.
  std::function<bool()> aborted;
  DebugLog debug;

  void report(int done, int total) const
  {
    if (progress)
      progress(done, total);
  }
  bool stop() const { return aborted && aborted(); }
  void log(const std::string& line) const
  {
    if (debug)
      debug(line);
  }
  bool logging() const { return bool(debug); }
};

} // namespace magnifex
