#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/ScratchDir.h"
#include "runtime/FileSequenceSource.h"
#include "runtime/FramePattern.h"
#include "runtime/HostError.h"
#include "support/HostErrors.h"

namespace fs = std::filesystem;
using host_runtime::FramePattern;

namespace {

class TempDir {
public:
  TempDir() : scratch_("frame-pattern-test"), path_(scratch_.path()) {}
  std::string touch(const std::string& name) const
  {
    std::ofstream(path_ / name) << "x";
    return (path_ / name).string();
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
  magnifex::test::ScratchDir scratch_;
  fs::path path_;
};

} // namespace

TEST(FramePattern, NamesFramesAsPrintfAndHashesDo)
{
  EXPECT_EQ(FramePattern("a/plate.%04d.exr").pathFor(12), "a/plate.0012.exr");
  EXPECT_EQ(FramePattern("a/plate.####.exr").pathFor(12), "a/plate.0012.exr");
  EXPECT_EQ(FramePattern("plate.#.exr").pathFor(123), "plate.123.exr");
  EXPECT_EQ(FramePattern("plate.%d.exr").pathFor(7), "plate.7.exr");
  EXPECT_EQ(FramePattern("plate.####.exr").pathFor(-5), "plate.-005.exr");
  EXPECT_EQ(FramePattern("shot#1/plate.exr").pathFor(3), "shot#1/plate.exr"); // only the file name counts
  EXPECT_FALSE(FramePattern("still.png").hasFrameNumber());
  EXPECT_EQ(FramePattern("still.png").pathFor(9), "still.png");
  EXPECT_EQ(FramePattern("100%.png").pathFor(9), "100%.png");
}

TEST(FramePattern, RefusesWidthsAndLengthsNoFileNameHas)
{
  EXPECT_EQ(FramePattern("p.%032d.exr").pathFor(-1), "p.-" + std::string(30, '0') + "1.exr"); // the widest there is
  EXPECT_EQ(FramePattern("p." + std::string(32, '#') + ".exr").pathFor(2147483647),
            "p." + std::string(22, '0') + "2147483647.exr");
  for (const std::string& bad :
       std::vector<std::string>{"p.%033d.exr", "p.%2147483647d.exr", "p.%99999999999999999999999d.exr",
                                "p." + std::string(33, '#') + ".exr", std::string(5000, 'a') + ".exr"})
    EXPECT_EQ(test_support::hostErrorKind([&] { FramePattern{bad}; }), host_runtime::HostError::Kind::BadPattern)
      << bad.substr(0, 40);
}

TEST(FramePattern, FindsTheFramesOnDisk)
{
  TempDir dir;
  for (const char* name : {"plate.0003.exr", "plate.0001.exr", "plate.-002.exr", "plate.12345.exr", "plate.12.exr",
                           "plate.0002.exr.bak", "plate.00a2.exr", "other.0004.exr", "plate.99999999999.exr"})
    dir.touch(name);
  EXPECT_EQ(FramePattern(dir / "plate.####.exr").existingFrames(), (std::vector<int>{-2, 1, 3, 12345}));
  EXPECT_EQ(FramePattern(dir / "plate.%d.exr").existingFrames(), (std::vector<int>{12, 12345}));
  EXPECT_EQ(FramePattern(dir / "missing.####.exr").existingFrames(), std::vector<int>{});
  const std::string still = dir.touch("still.png");
  EXPECT_EQ(FramePattern(still).existingFrames(), std::vector<int>{1});
}

TEST(FileSequenceSource, ReadsFramesOfTheRangeAndTellsMissingOnes)
{
  TempDir dir;
  dir.touch("s.0001.raw");
  dir.touch("s.0003.raw");
  int reads = 0;
  host_runtime::ImageFileReader reader;
  reader.readDescription = [](const std::string& path) {
    host_runtime::ImageDescription d;
    d.format = DD::Image::Format(4, 4);
    d.bbox = DD::Image::Box(0, 0, path.back() == 'w' ? 4 : 0, 4);
    return d;
  };
  reader.readPixels = [&reads](const std::string&) {
    ++reads;
    return host_runtime::Image::filled(DD::Image::Box(0, 0, 1, 1), {DD::Image::Chan_Red},
                                       [](int, int, int) { return 1.0f; });
  };
  host_runtime::FileSequenceSource source(FramePattern(dir / "s.####.raw"), reader, 1);
  EXPECT_EQ(source.firstFrame(), 1);
  EXPECT_EQ(source.lastFrame(), 3);
  EXPECT_EQ(source.describe(3).lastFrame, 3);
  try {
    source.describe(2);
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("s.0002.raw"), std::string::npos) << e.what();
  }
  source.pixels(1);
  source.pixels(1);
  EXPECT_EQ(reads, 1); // cached
  source.pixels(3);
  source.pixels(1);
  EXPECT_EQ(reads, 3); // a cache of one frame
  EXPECT_THROW(host_runtime::FileSequenceSource(FramePattern(dir / "none.####.raw"), reader), host_runtime::HostError);
}
