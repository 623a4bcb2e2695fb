// The options of magnifex-submit: magnifex-render's, and the farm's.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "commands/CommandLine.h"

namespace render_command {

struct SubmitCommandLine {
  CommandLine render; // what every task renders (its --frames is the whole range)

  int chunk = 10;                           // frames per task
  std::string partition, gpusPerTask, time; // passed to sbatch as they are
  std::optional<int> cpusPerTask;
  std::vector<std::string> sbatchArgs;
  std::string jobName = "magnifex";
  std::string logDir = "magnifex-logs";
  std::optional<int> maxRunning; // tasks of the job running at once
  std::string renderCommand;     // empty: magnifex-render beside magnifex-submit
  std::string sbatch = "sbatch";
  bool dryRun = false;
  bool status = false;
};

// UsageError for what magnifex-render refuses, for the farm's own options, and for render
// options that make no sense on a farm (--trace, --script-out, --knobs-json, --validate-only,
// --gui: every task would do them again, over the same files). --output with a frame number is
// needed.
SubmitCommandLine parseSubmitCommandLine(const std::vector<std::string>& args);

std::string submitHelpText();

} // namespace render_command
