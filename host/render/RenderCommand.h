// Runs a parsed magnifex-render command line.
#pragma once

#include <ostream>
#include <string>

#include "render/CommandLine.h"

namespace render_command {

enum ExitCode {
  kExitOk = 0,
  kExitUnexpected = 1,
  kExitUsage = 2,
  kExitSetup = 3,
  kExitNodeFailed = 4,
  kExitAborted = 130
};

// `programPath` locates the default plug-in directory. Results go to `out`, progress and
// messages to `err`.
int runRenderCommand(const CommandLine& commandLine, const std::string& programPath, std::ostream& out,
                     std::ostream& err);

} // namespace render_command
