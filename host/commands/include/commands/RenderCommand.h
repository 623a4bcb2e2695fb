// Runs a parsed magnifex-render command line.
#pragma once

#include <ostream>
#include <string>

#include "commands/CommandLine.h"

namespace render_command {

enum ExitCode {
  kExitOk = 0,
  kExitUnexpected = 1,
  kExitUsage = 2,
  kExitSetup = 3,
  kExitNodeFailed = 4,
  kExitAborted = 130
};

// What the node's `use_gpu` knob says once the parameters are applied: its value, and whether it
// is enabled (the plug-in disables it where it finds no GPU it can use). A warning, or empty, when
// the render would leave a usable GPU idle: scripts saved on a machine without one save
// use_gpu off, and a farm's GPU machine then renders on its CPU.
struct GpuKnob {
  bool present = false;
  bool on = true;
  bool enabled = false;
  std::string gpuName; // the plug-in's gpuName text, when it has one
};
std::string idleGpuWarning(const GpuKnob& knob, const std::string& scriptIn);

// `programPath` locates the default plug-in directory. Results go to `out`, progress and
// messages to `err`.
int runRenderCommand(const CommandLine& commandLine, const std::string& programPath, std::ostream& out,
                     std::ostream& err);

} // namespace render_command
