// What magnifex-render leaves behind when things go wrong around a render: a full disk, a farm's
// signals, outputs that cannot be written or name each other, frames that fail or give nothing.
// Whatever happens, no file is half-written, an older file stays as it was, no temporary is left,
// and the exit status says what happened.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "commands/RenderCommand.h"
#include "support/CommandRunner.h"
#include "support/RawImages.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using namespace render_command;
using namespace test_support;
using OIIO::TypeDesc;

namespace {

using FileSafetyTest = test_support::CommandTest;

// Names of the files in `folder` (hidden ones included), sorted.
std::vector<std::string> namesIn(const fs::path& folder)
{
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(folder))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Noise compresses badly, so that even its nearest-neighbour upscale needs more room than is left.
void writeNoise(const std::string& path, int size)
{
  std::mt19937 random(7);
  writeRaw(path, specOf(size, size, {"R", "G", "B"}, TypeDesc::UINT8),
           [&](int, int, int) { return float(random() % 256) / 255.0f; });
}

} // namespace

#if !defined(_WIN32)

// A small file system that the test fills to the brim (skipped where mounting is not allowed).
class FullDisk {
public:
  explicit FullDisk(const fs::path& at) : at_(at)
  {
    fs::create_directories(at_);
    mounted_ = std::system(("mount -t tmpfs -o size=640k tmpfs " + at_.string() + " 2>/dev/null").c_str()) == 0;
  }
  ~FullDisk()
  {
    if (mounted_)
      (void)std::system(("umount " + at_.string()).c_str());
  }
  bool mounted() const { return mounted_; }
  // Fills all but `free` bytes.
  void fill(std::size_t free) const
  {
    const fs::space_info space = fs::space(at_);
    ASSERT_GT(space.available, free);
    std::ofstream(at_ / "filler", std::ios::binary) << std::string(std::size_t(space.available) - free, 'x');
  }

private:
  fs::path at_;
  bool mounted_ = false;
};

TEST_F(FileSafetyTest, AWriteThatDoesNotCompleteFailsAndKeepsTheOlderFile)
{
  FullDisk disk(dir / "full");
  if (!disk.mounted())
    GTEST_SKIP() << "mounting a small file system is not allowed here";
  writeNoise(file("in.png"), 96);
  // Every writable kind: those whose writers ignore failed writes, end the process or report them.
  for (const char* format : {"png", "tga", "bmp", "sgi", "jpg", "exr", "dpx", "tif", "hdr", "webp", "ppm"}) {
    SCOPED_TRACE(format);
    const fs::path keep = dir / "full" / (std::string("keep.") + format);
    writeRaw(keep.string(), specOf(4, 4, {"R", "G", "B"}, TypeDesc::UINT8), [](int, int, int) { return 0.5f; });
    const std::string before = slurp(keep);
    disk.fill(8 * 1024); // a start of the file fits, the rest does not
    const Outcome r = run({"--input", file("in.png"), "--output", keep.string(), "--set", "scale=4x"});
    EXPECT_EQ(r.code, kExitSetup) << r.err;
    EXPECT_NE(r.err.find("cannot write " + keep.string() + ": "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("failed: 1"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(keep), before);
    EXPECT_EQ(namesIn(dir / "full"), (std::vector<std::string>{"filler", keep.filename().string()}));
    fs::remove(dir / "full" / "filler");
    fs::remove(keep);
  }
}

TEST_F(FileSafetyTest, AReadOnlyMountIsFoundBeforeTheFirstFrame)
{
  fs::create_directories(dir / "ro");
  if (std::system(("mount -t tmpfs -o ro,size=64k tmpfs " + (dir / "ro").string() + " 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "mounting a small file system is not allowed here";
  writeRaw(file("in.png"), specOf(2, 2, {"R", "G", "B"}, TypeDesc::UINT8), [](int, int, int) { return 0.5f; });
  const Outcome r = run({"--input", file("in.png"), "--output", (dir / "ro" / "out.png").string()});
  (void)std::system(("umount " + (dir / "ro").string()).c_str());
  EXPECT_EQ(r.code, kExitSetup) << r.err;
  EXPECT_NE(r.err.find("cannot create a file in its folder (Read-only file system)"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(" rendered"), std::string::npos) << "the node rendered first: " << r.err;
}

// The real program, started in the background: its folder, process and exit status.
class Background {
public:
  Background(const std::string& args, const fs::path& folder) : folder_(folder)
  {
    fs::remove(folder / "stderr"); // an earlier run's lines are not this one's
    pid_ = fork();
    if (pid_ == 0) {
      const std::string command = std::string("exec ") + RENDER_COMMAND_PATH + " " + args + " 2> " +
                                  (folder / "stderr").string() + " > /dev/null";
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  // Waits (at most 30 s) until its standard error holds `text`.
  bool waitFor(const std::string& text) const
  {
    for (int i = 0; i < 3000; ++i) {
      if (slurp(folder_ / "stderr").find(text) != std::string::npos)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  void send(int signal) const { kill(pid_, signal); }
  int exitStatus() const
  {
    int status = 0;
    waitpid(pid_, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }

private:
  fs::path folder_;
  pid_t pid_ = -1;
};

TEST_F(FileSafetyTest, FarmSignalsAbortTheRenderAndRemoveEveryTemporary)
{
  writeRaw(file("in.png"), specOf(8, 8, {"R", "G", "B"}, TypeDesc::UINT8), [](int, int, int) { return 0.5f; });
  std::ofstream(file("out.png")) << "an older render";
  const std::string plugin = std::string("--plugin-dir ") + TEST_PLUGIN_DIR + " --class TestScale --input " +
                             file("in.png") + " --output " + file("out.png") + " --trace " + file("trace.jsonl") +
                             " --set scale=4x --set row_delay_ms=60";
  struct Case {
    const char* what;
    int signal;
    bool twice; // a second signal while the node does not stop
    int code;
  };
  for (const Case& c : {Case{"SIGTERM", SIGTERM, false, 143}, Case{"SIGHUP", SIGHUP, false, 129},
                        Case{"SIGINT", SIGINT, false, 130}, Case{"a second SIGTERM", SIGTERM, true, 143}}) {
    SCOPED_TRACE(c.what);
    fs::remove(file("trace.jsonl"));
    Background render(plugin + (c.twice ? " --set ignore_aborts=true" : ""), dir);
    ASSERT_TRUE(render.waitFor("frame 1: ")) << slurp(dir / "stderr"); // a progress line: the node renders
    render.send(c.signal);
    if (c.twice) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      render.send(c.signal);
    }
    EXPECT_EQ(render.exitStatus(), c.code) << slurp(dir / "stderr");
    EXPECT_EQ(slurp(file("out.png")), "an older render");
    // An aborted render still names its trace; a program ended at once keeps no temporary of it.
    const std::vector<std::string> expected =
      c.twice ? std::vector<std::string>{"in.png", "out.png", "stderr"}
              : std::vector<std::string>{"in.png", "out.png", "stderr", "trace.jsonl"};
    EXPECT_EQ(namesIn(dir), expected);
    if (!c.twice)
      EXPECT_NE(slurp(dir / "stderr").find("render aborted"), std::string::npos);
  }
}

TEST_F(FileSafetyTest, TemporariesOfKilledRunsAreRemovedByTheNextRunIntoTheirFolder)
{
  writeRaw(file("in.png"), specOf(8, 8, {"R", "G", "B"}, TypeDesc::UINT8), [](int, int, int) { return 0.5f; });
  // A run killed at once leaves its temporary: the name says whose it is.
  Background killed(std::string("--plugin-dir ") + TEST_PLUGIN_DIR + " --class TestScale --input " + file("in.png") +
                      " --output " + file("out.png") + " --trace " + file("trace.jsonl") + " --set row_delay_ms=200",
                    dir);
  ASSERT_TRUE(killed.waitFor("frame 1: "));
  killed.send(SIGKILL);
  EXPECT_EQ(killed.exitStatus(), -SIGKILL);
  std::string left;
  for (const std::string& name : namesIn(dir))
    if (name.rfind(".trace.jsonl.", 0) == 0)
      left = name;
  ASSERT_FALSE(left.empty()) << "the killed run left no temporary";
  // Another machine's temporary in a shared folder is not this machine's to judge.
  std::ofstream(dir / ".out.png.another_machine-1-1-0.tmp") << "being written elsewhere";

  const Outcome r = run({"--input", file("in.png"), "--output", file("out.png")});
  EXPECT_EQ(r.code, kExitOk) << r.err;
  EXPECT_NE(r.err.find("removed 1 temporary file left in " + dir.string() + " by a run that was killed"),
            std::string::npos)
    << r.err;
  EXPECT_FALSE(fs::exists(dir / left));
  EXPECT_TRUE(fs::exists(dir / ".out.png.another_machine-1-1-0.tmp"));
}

#endif

TEST_F(FileSafetyTest, OutputsThatCannotBeWrittenOrNameEachOtherAreRefusedBeforeTheFirstFrame)
{
  writeRaw(file("in.png"), specOf(2, 2, {"R", "G", "B"}, TypeDesc::UINT8), [](int, int, int) { return 0.5f; });
  writeRaw(file("seq.0001.png"), specOf(2, 2, {"R", "G", "B"}, TypeDesc::UINT8), [](int, int, int) { return 0.5f; });
  writeRaw(file("seq.0002.png"), specOf(2, 2, {"R", "G", "B"}, TypeDesc::UINT8), [](int, int, int) { return 0.5f; });
  std::ofstream(file("out.png")) << "an older render";
  fs::create_directories(file("folder.png"));
  // Within the input's limits, but 4x that is beyond the coordinates an EXR holds.
  OIIO::ImageSpec far = specOf(2, 2, {"R", "G", "B"}, TypeDesc::HALF);
  far.x = 536870000;
  writeRaw(file("far.exr"), far, [](int, int, int) { return 0.5f; });
  struct Case {
    const char* what;
    std::vector<std::string> args; // '@': a file in the test's folder
    int code;
    const char* message;
  };
  const std::vector<Case> cases{
    {"--trace is --output",
     {"--input", "@in.png", "--output", "@out.png", "--trace", "@out.png"},
     kExitUsage,
     "name the same file"},
    {"--script-out is --output",
     {"--input", "@in.png", "--output", "@out.png", "--script-out", "@./out.png"},
     kExitUsage,
     "name the same file"},
    {"--trace is --script-out",
     {"--input", "@in.png", "--trace", "@t.txt", "--script-out", "@t.txt"},
     kExitUsage,
     "name the same file"},
    {"--trace is a frame of the range",
     {"--input", "@seq.####.png", "--output", "@o.####.png", "--trace", "@o.0002.png"},
     kExitUsage,
     "name the same file"},
    {"a missing folder",
     {"--input", "@in.png", "--output", "@missing/out.png"},
     kExitSetup,
     "its folder does not exist"},
    {"an unknown extension",
     {"--input", "@in.png", "--output", "@out.unknown"},
     kExitSetup,
     "no image format is known for the extension .unknown"},
    {"no extension", {"--input", "@in.png", "--output", "@out"}, kExitSetup, "names no image format"},
    {"--output is a folder", {"--input", "@in.png", "--output", "@folder.png"}, kExitSetup, "it is a folder"},
    {"--trace is a folder",
     {"--input", "@in.png", "--output", "@out.png", "--trace", "@folder.png"},
     kExitSetup,
     "it is a folder"},
    {"a window beyond an EXR's",
     {"--input", "@far.exr", "--set", "scale=4x", "--output", "@out.exr"},
     kExitSetup,
     "the OpenEXR writer refuses its windows (data 8 x 8 at 2147480000, 0"},
  };
  const auto before = snapshot();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = c.args;
    for (std::string& a : args)
      if (a.rfind('@', 0) == 0)
        a = file(a.substr(1));
    const Outcome r = run(args);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(" rendered"), std::string::npos) << "the node rendered first: " << r.err;
    EXPECT_EQ(snapshot(), before);
  }
  // A trace whose name merely looks like a frame outside the range is no frame.
  const Outcome r =
    run({"--input", file("seq.####.png"), "--output", file("o.####.png"), "--trace", file("o.0007.png")});
  EXPECT_EQ(r.code, kExitOk) << r.err;
}

TEST_F(FileSafetyTest, FailedFramesAreNamedAndKeepGoingRendersPastThem)
{
  for (int f : {1, 3})
    writeRaw(file("seq.000" + std::to_string(f) + ".png"), specOf(2, 2, {"R", "G", "B"}, TypeDesc::UINT8),
             [](int, int, int) { return 0.5f; });
  std::ofstream(file("seq.0002.png")) << "not an image";
  struct Case {
    const char* what;
    std::vector<std::string> extra;
    int code;
    std::vector<std::string> written;
    const char* summary;
  };
  for (const Case& c :
       {Case{"stops at the first failure", {}, kExitSetup, {"o.0001.png"}, "1 rendered"},
        Case{"--keep-going", {"--keep-going"}, kExitSetup, {"o.0001.png", "o.0003.png"}, "2 rendered"}}) {
    SCOPED_TRACE(c.what);
    for (int f : {1, 2, 3})
      fs::remove(file("o.000" + std::to_string(f) + ".png"));
    std::vector<std::string> args{"--input", file("seq.####.png"), "--output", file("o.####.png")};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const Outcome r = run(args);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_NE(r.err.find(c.summary), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("failed: 2"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("not rendered: 3") != std::string::npos, c.extra.empty()) << r.err;
    for (const std::string& name : c.written)
      EXPECT_TRUE(fs::exists(file(name))) << name;
    EXPECT_EQ(fs::exists(file("o.0003.png")), !c.extra.empty());
  }
}

TEST_F(FileSafetyTest, ARunThatRendersNoFrameAtAllFails)
{
  writeRaw(file("in.png"), specOf(2, 2, {"R", "G", "B"}, TypeDesc::UINT8), [](int, int, int) { return 0.5f; });
  // The node gives no pixels after its last frame: asked only for later ones, nothing is written.
  const Outcome none =
    run({"--input", file("in.png"), "--frames", "5-7", "--set", "last_frame=2", "--output", file("o.####.png")});
  EXPECT_EQ(none.code, kExitNodeFailed) << none.err;
  EXPECT_NE(none.err.find("no frame was rendered: the node wrote no pixels for frames 5-7"), std::string::npos)
    << none.err;
  // Some frames without pixels among rendered ones are no failure.
  const Outcome some =
    run({"--input", file("in.png"), "--frames", "2-3", "--set", "last_frame=2", "--output", file("o.####.png")});
  EXPECT_EQ(some.code, kExitOk) << some.err;
  EXPECT_NE(some.err.find("1 rendered"), std::string::npos) << some.err;
}
