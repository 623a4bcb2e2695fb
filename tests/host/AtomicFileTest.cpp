#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "common/ScratchDir.h"
#include "runtime/AtomicFile.h"
#include "runtime/HostError.h"
#include "runtime/TraceWriter.h"
#include "support/HostErrors.h"
#include "support/TestPlugin.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

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

#if !defined(_WIN32)
// A link is written through (the file it names replaced, beside itself, the link kept); what is
// not a file is refused before anything is written; a name as long as the folder takes is
// written, a longer one refused for what it is.
TEST_F(AtomicFileTest, LinksAreWrittenThroughAndWhatIsNoFileIsRefused)
{
  fs::create_directories(dir / "real");
  std::ofstream(dir / "real" / "shot.txt") << "older";
  fs::create_directory_symlink("real", dir / "alias");
  const std::string longName(255, 'n');
  struct Case {
    const char* what;
    std::function<void()> make; // what stands under "out" before the write
    std::string name;           // written to
    std::string landsIn;        // the file that must hold the new contents; empty: refused
    const char* message;        // when refused
  };
  const std::vector<Case> cases{
    {"a link", [&] { fs::create_symlink("real/shot.txt", dir / "out"); }, "out", "real/shot.txt", ""},
    {"a link to a link",
     [&] {
       fs::create_symlink("link2", dir / "out");
       fs::create_symlink("real/shot.txt", dir / "link2");
     },
     "out", "real/shot.txt", ""},
    {"a dangling link", [&] { fs::create_symlink("real/new.txt", dir / "out"); }, "out", "real/new.txt", ""},
    {"a file in a linked folder", [] {}, "alias/shot.txt", "real/shot.txt", ""},
    {"a named pipe", [&] { ASSERT_EQ(::mkfifo((dir / "out").c_str(), 0600), 0); }, "out", "", "a named pipe (FIFO)"},
    {"a link to a pipe",
     [&] {
       ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
       fs::create_symlink("pipe", dir / "out");
     },
     "out", "", "a named pipe (FIFO) (the file its link names"},
    {"a device", [&] { fs::create_symlink("/dev/null", dir / "out"); }, "out", "", "it is a device"},
    {"a folder", [&] { fs::create_directory(dir / "out"); }, "out", "", "it is a folder"},
    {"the longest name", [] {}, longName, longName, ""},
    {"a longer name", [] {}, longName + "x", "", "is 256 bytes long; this folder takes names of at most 255"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* name : {"out", "link2", "pipe", "real/new.txt"})
      fs::remove_all(dir / name);
    std::ofstream(dir / "real" / "shot.txt") << "older";
    c.make();
    std::error_code ec; // a name too long for the folder has no status
    const bool wasLink = fs::is_symlink(fs::symlink_status(dir / c.name, ec));
    std::string message;
    try {
      host_runtime::writeFileAtomically((dir / c.name).string(), "newer");
    } catch (const HostError& e) {
      message = e.what();
    }
    if (c.landsIn.empty()) {
      EXPECT_NE(message.find(c.message), std::string::npos) << message;
      EXPECT_EQ(contents("real/shot.txt"), "older");
    } else {
      EXPECT_EQ(message, "");
      EXPECT_EQ(contents(c.landsIn), "newer");
      EXPECT_EQ(fs::is_symlink(fs::symlink_status(dir / c.name, ec)), wasLink) << "the link stays a link";
    }
    for (const std::string& name : names())
      EXPECT_EQ(name.find(".tmp"), std::string::npos) << name; // no temporary left
    fs::remove(dir / c.name, ec);
  }
}
#endif
