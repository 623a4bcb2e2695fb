// magnifex-render given hostile or careless input: every case ends quickly with a clear message
// and the documented exit status, and leaves every file as it was. The bad files are made here.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "commands/RenderCommand.h"
#include "support/CommandRunner.h"
#include "support/RawImages.h"

namespace fs = std::filesystem;
using namespace render_command;
using namespace test_support;
using OIIO::TypeDesc;

namespace {

std::string bytesOf(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A command that must be refused. Arguments starting with '@' name files in the test's folder.
struct Refusal {
  std::string what;
  std::vector<std::string> args;
  int code;
  std::string message;
};

class HostileInputTest : public test_support::CommandTest {
protected:
  // Runs each case on TestScale; each must end with its status and message, and no file may
  // change or appear.
  void expectRefusedLeavingFilesAsTheyWere(const std::vector<Refusal>& cases) const
  {
    const auto before = snapshot();
    for (const Refusal& c : cases) {
      std::vector<std::string> args = c.args;
      for (std::string& a : args)
        if (a.rfind('@', 0) == 0)
          a = file(a.substr(1));
      const Outcome r = run(args);
      EXPECT_EQ(r.code, c.code) << c.what << ": " << r.err;
      EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << ": " << r.err;
      EXPECT_EQ(snapshot(), before) << c.what;
    }
  }
};

} // namespace

TEST_F(HostileInputTest, HeadersDeclaringSizesThatCannotBeHeldAreRefusedOnRead)
{
  std::ofstream(file("zero.ppm"), std::ios::binary) << "P6\n0 0\n255\n";
  std::ofstream(file("negative.ppm"), std::ios::binary) << "P6\n-5 3\n255\nxxxxxxxxx";
  std::ofstream(file("wide.ppm"), std::ios::binary) << "P6\n600000000 1\n255\n";
  std::ofstream(file("square.ppm"), std::ios::binary) << "P6\n2147483647 2147483647\n255\n";
  std::ofstream(file("large.ppm"), std::ios::binary) << "P6\n500000000 100\n255\n";
  OIIO::ImageSpec far = specOf(4, 4, {"R", "G", "B"}, TypeDesc::HALF);
  far.x = far.y = 1000000000;
  writeRaw(file("far.exr"), far, [](int, int, int) { return 0.5f; });
  std::ofstream(file("out.png")) << "an older render";
  std::ofstream(file("out.ppm")) << "an older render";
  std::vector<Refusal> cases;
  for (const char* output : {"@out.ppm", "@out.png"}) {
    cases.push_back({"an empty image",
                     {"--input", "@zero.ppm", "--output", output},
                     kExitSetup,
                     "zero.ppm: empty image (0 x 0 pixels)"});
    cases.push_back(
      {"a negative width", {"--input", "@negative.ppm", "--output", output}, kExitSetup, "negative.ppm: empty image"});
    cases.push_back({"600000000 x 1",
                     {"--input", "@wide.ppm", "--output", output},
                     kExitSetup,
                     "wide.ppm: data or display window too far out"});
    cases.push_back({"2147483647 squared",
                     {"--input", "@square.ppm", "--output", output},
                     kExitSetup,
                     "square.ppm: data or display window too far out"});
    cases.push_back({"60 GB of samples",
                     {"--input", "@large.ppm", "--output", output},
                     kExitSetup,
                     "large.ppm: image too large (500000000 x 100 pixels of 3 channels"});
    cases.push_back({"a data window at 1e9",
                     {"--input", "@far.exr", "--output", output},
                     kExitSetup,
                     "far.exr: data or display window too far out"});
  }
  expectRefusedLeavingFilesAsTheyWere(cases);
}

TEST_F(HostileInputTest, CutShortFilesOfEveryFormatAndDepthAreRefusedWithAReason)
{
  struct Kind {
    const char* extension;
    TypeDesc type;
    int bits; // 10 and 12 for DPX, else 0
  };
  const std::vector<Kind> kinds{
    {"png", TypeDesc::UINT8, 0},  {"png", TypeDesc::UINT16, 0},  {"tga", TypeDesc::UINT8, 0},
    {"bmp", TypeDesc::UINT8, 0},  {"sgi", TypeDesc::UINT8, 0},   {"sgi", TypeDesc::UINT16, 0},
    {"jpg", TypeDesc::UINT8, 0},  {"exr", TypeDesc::HALF, 0},    {"exr", TypeDesc::FLOAT, 0},
    {"dpx", TypeDesc::UINT8, 0},  {"dpx", TypeDesc::UINT16, 10}, {"dpx", TypeDesc::UINT16, 12},
    {"dpx", TypeDesc::UINT16, 0}, {"tif", TypeDesc::UINT8, 0},   {"tif", TypeDesc::UINT16, 0},
    {"tif", TypeDesc::FLOAT, 0},  {"hdr", TypeDesc::FLOAT, 0},   {"webp", TypeDesc::UINT8, 0},
    {"ppm", TypeDesc::UINT8, 0},
  };
  const auto before = [&] {
    std::ofstream(file("out.exr")) << "an older render";
    return snapshot();
  }();
  for (const Kind& k : kinds) {
    const std::string kind =
      std::string(k.extension) + " " + k.type.c_str() + (k.bits ? " " + std::to_string(k.bits) + "-bit" : "");
    OIIO::ImageSpec spec = specOf(64, 64, {"R", "G", "B"}, k.type);
    if (k.bits)
      spec.attribute("oiio:BitsPerSample", k.bits);
    const std::string whole = (dir / "whole").string() + "." + k.extension;
    writeRaw(whole, spec, [](int x, int y, int c) { return float((x * 7 + y * 13 + c * 5) % 256) / 255.0f; });
    const std::string bytes = bytesOf(whole);
    fs::remove(whole);
    // Targa's last 1% is its footer, after the pixels: such a file reads whole and is not refused.
    for (const int percent : {50, 90, 99}) {
      if (percent == 99 && std::string(k.extension) == "tga")
        continue;
      SCOPED_TRACE(kind + " cut at " + std::to_string(percent) + "%");
      const std::string name = "cut." + std::string(k.extension);
      std::ofstream(file(name), std::ios::binary) << bytes.substr(0, bytes.size() * std::size_t(percent) / 100);
      const Outcome r = run({"--input", file(name), "--output", file("out.exr")});
      fs::remove(file(name));
      EXPECT_EQ(r.code, kExitSetup) << r.err;
      // "cannot read <file>: <reason>", the reason never empty.
      const std::size_t at = r.err.find("cannot read " + file(name) + ": ");
      if (at == std::string::npos) {
        ADD_FAILURE() << r.err;
        continue;
      }
      const std::string reason =
        r.err.substr(at + file(name).size() + 14, r.err.find('\n', at) - at - file(name).size() - 14);
      EXPECT_GT(reason.size(), 3u) << r.err;
      EXPECT_EQ(snapshot(), before);
      std::ofstream(file("out.exr")) << "an older render";
    }
  }
}

TEST_F(HostileInputTest, InputsThatAreNoFilesSayWhatTheyAre)
{
  fs::create_directories(dir / "folder");
  std::vector<Refusal> cases{
    {"a folder", {"--input", "@folder", "--output", "@out.png"}, kExitSetup, "a folder, not an image file"},
    {"nothing there", {"--input", "@missing.png", "--output", "@out.png"}, kExitSetup, "no such file"},
  };
#if !defined(_WIN32)
  ASSERT_EQ(std::system(("mkfifo " + file("pipe")).c_str()), 0);
  cases.push_back(
    {"a pipe", {"--input", "@pipe", "--output", "@out.png"}, kExitSetup, "not a regular file (a pipe or a device?)"});
  cases.push_back({"a device",
                   {"--input", "/dev/zero", "--output", "@out.png"},
                   kExitSetup,
                   "not a regular file (a pipe or a device?)"});
#endif
  expectRefusedLeavingFilesAsTheyWere(cases);
}

TEST_F(HostileInputTest, ADamagedPluginFileIsReportedNotLoaded)
{
  const std::string whole = bytesOf(TEST_PLUGIN_PATH);
  std::vector<Refusal> cases;
  // Where the cut falls is the file check's concern; here, that the command refuses and says why.
  for (const std::size_t size : {whole.size() / 2}) {
    fs::create_directories(dir / std::to_string(size));
    std::ofstream(dir / std::to_string(size) / "TestScale.so", std::ios::binary) << whole.substr(0, size);
    cases.push_back({"cut",
                     {"--plugin-dir", "@" + std::to_string(size), "--script-out", "@node.txt"},
                     kExitSetup,
                     "TestScale.so: the file is damaged: truncated"});
  }
  expectRefusedLeavingFilesAsTheyWere(cases);
}

TEST_F(HostileInputTest, ScriptsThatAreNoScriptsAreRefusedAndAByteOrderMarkIsNot)
{
  fs::create_directories(dir / "folder");
  {
    std::ofstream huge(file("huge.nk"));
    huge << "TestScale {\n";
    for (int i = 0; i < 40000; ++i)
      huge << "# a comment line that makes the script far larger than any script\n";
    huge << "}\n";
  }
  const char withNul[] = "TestScale {\n gain 2\0.5\n}\n";
  std::ofstream(file("nul.nk"), std::ios::binary) << std::string(withNul, sizeof withNul - 1);
  std::vector<Refusal> cases{
    {"a folder", {"--script-in", "@folder", "--script-out", "@out.nk"}, kExitSetup, "folder: not a regular file"},
    {"a NUL byte",
     {"--script-in", "@nul.nk", "--script-out", "@out.nk"},
     kExitSetup,
     "nul.nk:2: a NUL byte, which no script holds"},
    {"larger than 1 MiB",
     {"--script-in", "@huge.nk", "--script-out", "@out.nk"},
     kExitSetup,
     "huge.nk: larger than 1 MiB"},
  };
#if !defined(_WIN32)
  cases.push_back({"an endless device",
                   {"--script-in", "/dev/zero", "--script-out", "@out.nk"},
                   kExitSetup,
                   "/dev/zero: not a regular file"});
#endif
  expectRefusedLeavingFilesAsTheyWere(cases);

  std::ofstream(file("bom.nk"), std::ios::binary) << "\xEF\xBB\xBFTestScale {\n gain 2.5\n}\n";
  const Outcome r = run({"--script-in", file("bom.nk"), "--script-out", file("out.nk")});
  ASSERT_EQ(r.code, kExitOk) << r.err;
  EXPECT_NE(slurp(file("out.nk")).find(" gain 2.5\n"), std::string::npos);
}

TEST_F(HostileInputTest, PatternsNoFileNameCanHaveAreRefused)
{
  writeRaw(file("in.png"), specOf(2, 2, {"R", "G", "B"}, TypeDesc::UINT8), [](int, int, int) { return 0.5f; });
  const std::string wide = "x." + std::string(33, '#') + ".png";
  const std::string longName = std::string(5000, 'x') + ".####.png";
  const std::vector<Refusal> cases{
    {"%2147483647d input", {"--input", "@in.%2147483647d.png"}, kExitUsage, "wider than 32 digits"},
    {"%0999...d output",
     {"--input", "@in.png", "--output", "@out.%099999999999999999999d.png"},
     kExitUsage,
     "wider than 32 digits"},
    {"33 #", {"--input", "@in.png", "--output", "@" + wide}, kExitUsage, "wider than 32 digits"},
    {"5000 characters", {"--input", "@in.png", "--output", "@" + longName}, kExitUsage, "longer than 4096 characters"},
  };
  expectRefusedLeavingFilesAsTheyWere(cases);
}

TEST_F(HostileInputTest, NumbersNobodyMeansAreRefusedForFloatKnobs)
{
  std::ofstream(file("nan.nk")) << "TestScale {\n gain nan\n}\n";
  std::vector<Refusal> cases;
  for (const char* value : {"nan", "NaN", "inf", "-inf", "infinity", "1e999"})
    cases.push_back({value,
                     {"--set", std::string("gain=") + value, "--script-out", "@out.nk"},
                     kExitUsage,
                     "bad value '" + std::string(value) + "' for knob gain: expected a finite number"});
  cases.push_back(
    {"in a script", {"--script-in", "@nan.nk", "--script-out", "@out.nk"}, kExitUsage, "nan.nk:2: bad value 'nan'"});
  expectRefusedLeavingFilesAsTheyWere(cases);
}

TEST_F(HostileInputTest, FrameRangesEndingAtTheLargestFrameEndThere)
{
  for (const auto& [frames, count] :
       std::vector<std::pair<std::string, int>>{{"2147483647", 1}, {"2147483646-2147483647", 2}}) {
    const Outcome r = run({"--frames", frames, "--validate-only"});
    ASSERT_EQ(r.code, kExitOk) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), count) << r.out;
    EXPECT_NE(r.out.find("frame 2147483647: "), std::string::npos) << r.out;
  }
  writeRaw(file("in.png"), specOf(2, 2, {"R", "G", "B"}, TypeDesc::UINT8), [](int, int, int) { return 0.5f; });
  const Outcome r =
    run({"--input", file("in.png"), "--frames", "2147483646-2147483647", "--output", file("out.%d.png")});
  ASSERT_EQ(r.code, kExitOk) << r.err;
  EXPECT_TRUE(fs::exists(file("out.2147483646.png")));
  EXPECT_TRUE(fs::exists(file("out.2147483647.png")));
}

// Not refusals: these have a correct output, which they must get.
TEST_F(HostileInputTest, FramesThatChangeSizeAndNonFinitePixelsComeOutRight)
{
  const int sizes[3][2] = {{2, 2}, {5, 3}, {1, 7}};
  for (int f = 1; f <= 3; ++f)
    writeRaw(file("s.000" + std::to_string(f) + ".exr"),
             specOf(sizes[f - 1][0], sizes[f - 1][1], {"R", "G", "B"}, TypeDesc::FLOAT),
             [f](int x, int y, int c) { return float(f * 100 + y * 10 + x + c); });
  // Each output frame has its own frame's size, whatever the previous one read (contexts=2).
  const Outcome seq = run({"--input", file("s.####.exr"), "--output", file("o.####.exr"), "--set", "contexts=2"});
  ASSERT_EQ(seq.code, kExitOk) << seq.err;
  for (int f = 1; f <= 3; ++f) {
    const RawImage out = readRaw(file("o.000" + std::to_string(f) + ".exr"));
    ASSERT_EQ(out.spec.width, 2 * sizes[f - 1][0]) << f;
    ASSERT_EQ(out.spec.height, 2 * sizes[f - 1][1]) << f;
    const int x = out.spec.width - 1, y = out.spec.height - 1;
    EXPECT_EQ(out.at(x, y, 2), float(f * 100 + (y / 2) * 10 + x / 2 + 2)) << f;
  }

  const float inf = std::numeric_limits<float>::infinity();
  const float values[4] = {std::numeric_limits<float>::quiet_NaN(), inf, -inf, 0.25f};
  writeRaw(file("odd.exr"), specOf(4, 1, {"R", "G", "B"}, TypeDesc::FLOAT), [&](int x, int, int) { return values[x]; });
  ASSERT_EQ(run({"--input", file("odd.exr"), "--output", file("odd.out.exr")}).code, kExitOk);
  ASSERT_EQ(run({"--input", file("odd.exr"), "--output", file("odd.out.png")}).code, kExitOk);
  const RawImage exr = readRaw(file("odd.out.exr")), png = readRaw(file("odd.out.png"));
  EXPECT_TRUE(std::isnan(exr.at(0, 0, 0))); // float files hold them as they are
  EXPECT_EQ(exr.at(2, 0, 0), inf);
  EXPECT_EQ(exr.at(4, 0, 0), -inf);
  EXPECT_EQ(png.at(0, 0, 0), 0.0f); // integer files cannot: NaN is black, infinities clip
  EXPECT_EQ(png.at(2, 0, 0), 1.0f);
  EXPECT_EQ(png.at(4, 0, 0), 0.0f);
  EXPECT_NEAR(png.at(6, 0, 0), quantized(linearToSrgb(0.25), 255), 1e-6);
}
