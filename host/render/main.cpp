// magnifex-render: drives a node plug-in as the compositing host does (see --help).
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "DDImageHost/OpControl.h"
#include "render/CommandLine.h"
#include "render/RenderCommand.h"

namespace {

// The first Ctrl-C aborts the render in progress; a second one ends the program.
extern "C" void abortOnInterrupt(int)
{
  DD::Image::host::requestAbortAll();
  std::signal(SIGINT, SIG_DFL);
}

} // namespace

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
  std::signal(SIGINT, abortOnInterrupt);
  return render_command::runRenderCommand(commandLine, argv[0], std::cout, std::cerr);
}
