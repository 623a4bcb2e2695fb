// Runs magnifex-render for the command's tests: in this process, or as the real program, in a
// temporary folder of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "commands/CommandLine.h"
#include "commands/RenderCommand.h"
#include "common/ScratchDir.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

namespace test_support {

namespace fs = std::filesystem;

struct Outcome {
  int code;
  std::string out, err;
};

inline std::string slurp(const fs::path& path)
{
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class CommandTest : public ::testing::Test {
protected:
  CommandTest() : scratch("render-command-test"), dir(scratch.path()) {}

  std::string file(const std::string& name) const { return (dir / name).string(); }

  // In this process.
  Outcome runWith(const std::vector<std::string>& args) const
  {
    std::ostringstream out, err;
    const int code =
      render_command::runRenderCommand(render_command::parseCommandLine(args), RENDER_COMMAND_PATH, out, err);
    return {code, out.str(), err.str()};
  }

  // In this process, on the TestScale plug-in.
  Outcome run(std::vector<std::string> args) const
  {
    args.insert(args.begin(), {"--plugin-dir", TEST_PLUGIN_DIR, "--class", "TestScale"});
    return runWith(args);
  }

  // The real program, for what happens before and around the command (parsing, exit codes).
  Outcome runProgram(const std::string& args) const
  {
    const std::string command =
      std::string(RENDER_COMMAND_PATH) + " " + args + " > " + file("stdout") + " 2> " + file("stderr");
    const int status = std::system(command.c_str());
#if defined(_WIN32)
    const int code = status;
#else
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    return {code, slurp(file("stdout")), slurp(file("stderr"))};
  }

  // Every file below the test's folder with its contents, to see that a command changed nothing.
  std::set<std::pair<std::string, std::string>> snapshot() const
  {
    std::set<std::pair<std::string, std::string>> files;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir))
      if (e.is_regular_file() && e.path().filename() != "stdout" && e.path().filename() != "stderr")
        files.emplace(e.path().lexically_relative(dir).string(), slurp(e.path()));
    return files;
  }

  magnifex::test::ScratchDir scratch;
  fs::path dir;
};

} // namespace test_support
