// magnifex-render: drives a node plug-in as the compositing host does (see --help).
#include <iostream>
#include <string>
#include <vector>

#include "commands/CommandLine.h"
#include "commands/Interruption.h"
#include "commands/RenderCommand.h"

int main(int argc, char** argv)
{
  std::vector<std::string> args(argv + 1, argv + argc);
  render_command::CommandLine commandLine;
  try {
    commandLine = render_command::parseCommandLine(args);
  } catch (const render_command::UsageError& e) {
    std::cerr << "magnifex-render: error: " << e.what() << " (see --help)\n";
    return render_command::kExitUsage;
  }
  render_command::handleInterruptions();
  return render_command::runRenderCommand(commandLine, argv[0], std::cout, std::cerr);
}
