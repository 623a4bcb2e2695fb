// magnifex-submit: renders a shot on a Slurm farm through magnifex-render (see --help).
#include <iostream>
#include <string>
#include <vector>

#include "commands/SubmitCommand.h"
#include "commands/SubmitCommandLine.h"

int main(int argc, char** argv)
{
  const std::vector<std::string> args(argv + 1, argv + argc);
  render_command::SubmitCommandLine commandLine;
  try {
    commandLine = render_command::parseSubmitCommandLine(args);
  } catch (const std::exception& e) {
    std::cerr << "magnifex-submit: error: " << e.what() << " (see --help)\n";
    return render_command::kSubmitUsage;
  }
  return render_command::runSubmitCommand(commandLine, argv[0], std::cout, std::cerr);
}
