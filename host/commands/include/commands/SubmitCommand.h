// Runs a parsed magnifex-submit command line: prints or submits the batch script, or reports
// what a submitted render has left to do.
#pragma once

#include <ostream>
#include <string>

#include "commands/SubmitCommandLine.h"

namespace render_command {

enum SubmitExitCode { kSubmitOk = 0, kSubmitFramesMissing = 1, kSubmitUsage = 2, kSubmitFiles = 3 };

// `programPath` locates magnifex-render beside magnifex-submit.
int runSubmitCommand(const SubmitCommandLine& commandLine, const std::string& programPath, std::ostream& out,
                     std::ostream& err);

} // namespace render_command
