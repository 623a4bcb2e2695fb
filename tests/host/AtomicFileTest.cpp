#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/ScratchDir.h"
#include "runtime/AtomicFile.h"
#include "runtime/HostError.h"
#include "runtime/TraceWriter.h"
#include "support/HostErrors.h"
#include "support/TestPlugin.h"

namespace fs = std::filesystem;
using host_runtime::AtomicFile;
using host_runtime::HostError;

namespace {

class AtomicFileTest : public ::testing::Test {
protected:
  AtomicFileTest() : scratch("atomic-file-test"), dir(scratch.path()) { std::ofstream(dir / "out.txt") << "older"; }

  std::string contents(const std::string& name) const
  {
    std::ifstream in(dir / name);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::vector<std::string> names() const
  {
    std::vector<std::string> result;
    for (const fs::directory_entry& e : fs::directory_iterator(dir))
      result.push_back(e.path().filename().string());
    std::sort(result.begin(), result.end());
    return result;
  }
  std::string target() const { return (dir / "out.txt").string(); }

  magnifex::test::ScratchDir scratch;
  fs::path dir;
};

} // namespace

TEST_F(AtomicFileTest, TheNameHoldsTheOldFileUntilTheNewOneIsComplete)
{
  for (const bool complete : {false, true}) {
    {
      AtomicFile file(target());
      std::ofstream(file.temporaryPath()) << "newer";
      EXPECT_EQ(contents("out.txt"), "older");
      EXPECT_EQ(names().size(), 2u); // the old file and the temporary beside it
      if (complete)
        file.commit();
    }
    EXPECT_EQ(contents("out.txt"), complete ? "newer" : "older");
    EXPECT_EQ(names(), std::vector<std::string>{"out.txt"}); // no temporary left either way
  }
  EXPECT_EQ(test_support::hostErrorKind([&] { AtomicFile((dir / "missing" / "out.txt").string()); }),
            HostError::Kind::Output);
  EXPECT_EQ(test_support::hostErrorKind([&] {
              AtomicFile file((dir / "folder").string());
              fs::create_directories(dir / "folder");
              file.commit();
            }),
            HostError::Kind::Output); // a folder is not replaced
}

TEST_F(AtomicFileTest, ATraceTakesItsNameWhenItEnds)
{
  {
    host_runtime::TraceWriter trace(target());
    auto node = test_support::makeTestScale();
    EXPECT_EQ(contents("out.txt"), "older");
    node->setKnob("gain", "2");
    node.reset();
    trace.finish();
  }
  EXPECT_NE(contents("out.txt").find("\"event\":\"knob_set\""), std::string::npos);
  EXPECT_EQ(names(), std::vector<std::string>{"out.txt"});
}
