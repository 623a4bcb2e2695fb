// magnifex-render on real image files: formats, pixel types, colour spaces, sequences, and what
// a failure leaves behind. Files are made and inspected with OpenImageIO directly, the expected
// values from the transfer functions' definitions. TestScale at its default scale (2x, nearest
// neighbour, gain 1) renders what it is given, so the output tells what the command did.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "DDImageHost/Events.h"
#include "DDImageHost/OpControl.h"
#include "commands/RenderCommand.h"
#include "commands/UnrenderedChannels.h"
#include "support/CommandRunner.h"
#include "support/RawImages.h"

namespace fs = std::filesystem;
using namespace render_command;
using namespace test_support;
using OIIO::TypeDesc;

using RenderFilesTest = test_support::CommandTest;

namespace {

const std::vector<std::string> kRGB{"R", "G", "B"};
const std::vector<std::string> kRGBA{"R", "G", "B", "A"};
const std::vector<std::string> kGrey{"Y"};
const double kMidGrey = 128.0 / 255.0;

// A user's Ctrl-C while the node renders: at its first progress report.
class AbortAtFirstProgress {
public:
  AbortAtFirstProgress()
  {
    listener_ = DD::Image::host::addEventListener([](const DD::Image::host::Event& e) {
      if (e.type == "progress")
        DD::Image::host::requestAbortAll();
    });
  }
  ~AbortAtFirstProgress()
  {
    DD::Image::host::removeEventListener(listener_);
    DD::Image::host::clearAbortAll();
  }

private:
  int listener_;
};

} // namespace

TEST_F(RenderFilesTest, ConvertsColourAndFollowsThePixelTypeOfTheInput)
{
  struct Case {
    const char* what;
    const char* input;
    std::vector<std::string> channels;
    TypeDesc inputType;
    double stored; // every input sample
    std::vector<std::string> options;
    const char* output;
    TypeDesc outputType;
    double colour, data; // every output sample of R, G, B (or Y) / of other channels
    double tolerance;    // beyond float rounding, which is far below a 16-bit step
  };
  const double linearGrey = srgbToLinear(kMidGrey);
  const std::vector<Case> cases{
    {"8-bit PNG: mid-grey survives",
     "in.png",
     kRGB,
     TypeDesc::UINT8,
     kMidGrey,
     {},
     "out.png",
     TypeDesc::UINT8,
     kMidGrey,
     0,
     0},
    {"grey PNG", "in.png", kGrey, TypeDesc::UINT8, kMidGrey, {}, "out.png", TypeDesc::UINT8, kMidGrey, 0, 0},
    {"16-bit PNG", "in.png", kRGB, TypeDesc::UINT16, 0.3, {}, "out.png", TypeDesc::UINT16, quantized(0.3, 65535), 0, 0},
    {"16-bit DPX", "in.dpx", kRGB, TypeDesc::UINT16, 0.7, {}, "out.dpx", TypeDesc::UINT16, quantized(0.7, 65535), 0, 0},
    {"half EXR stays linear", "in.exr", kRGB, TypeDesc::HALF, 0.375, {}, "out.exr", TypeDesc::HALF, 0.375, 0, 0},
    {"float TIFF stays linear",
     "in.tif",
     kRGB,
     TypeDesc::FLOAT,
     0.123456789,
     {},
     "out.tif",
     TypeDesc::FLOAT,
     float(0.123456789),
     0,
     0},
    {"8-bit PNG into EXR: linearised, half, alpha as it is",
     "in.png",
     kRGBA,
     TypeDesc::UINT8,
     kMidGrey,
     {},
     "out.exr",
     TypeDesc::HALF,
     linearGrey,
     kMidGrey,
     1e-3},
    {"float EXR into PNG: encoded",
     "in.exr",
     kRGB,
     TypeDesc::FLOAT,
     linearGrey,
     {},
     "out.png",
     TypeDesc::UINT8,
     kMidGrey,
     0,
     0},
    {"--output-type float",
     "in.png",
     kRGB,
     TypeDesc::UINT8,
     kMidGrey,
     {"--output-type", "float"},
     "out.exr",
     TypeDesc::FLOAT,
     linearGrey,
     0,
     1e-6},
    {"--output-type uint16",
     "in.png",
     kRGB,
     TypeDesc::UINT8,
     kMidGrey,
     {"--output-type", "uint16"},
     "out.png",
     TypeDesc::UINT16,
     kMidGrey,
     0,
     1e-6},
    {"--output-type half",
     "in.tif",
     kRGB,
     TypeDesc::FLOAT,
     0.2,
     {"--output-type", "half"},
     "out.exr",
     TypeDesc::HALF,
     0.2,
     0,
     1e-3},
    {"--output-type uint8 from half",
     "in.exr",
     kRGBA,
     TypeDesc::HALF,
     0.375,
     {"--output-type", "uint8"},
     "out.tif",
     TypeDesc::UINT8,
     quantized(linearToSrgb(0.375), 255),
     quantized(0.375, 255),
     0},
    {"half EXR with alpha into PNG: encoded, alpha not divided out",
     "in.exr",
     kRGBA,
     TypeDesc::HALF,
     0.375,
     {},
     "out.png",
     TypeDesc::UINT8,
     quantized(linearToSrgb(0.375), 255),
     quantized(0.375, 255),
     0},
    {"float asked of PNG gives 8-bit sRGB",
     "in.exr",
     kRGB,
     TypeDesc::FLOAT,
     linearGrey,
     {"--output-type", "float"},
     "out.png",
     TypeDesc::UINT8,
     kMidGrey,
     0,
     0},
    {"--input-colorspace linear",
     "in.png",
     kRGB,
     TypeDesc::UINT8,
     kMidGrey,
     {"--input-colorspace", "linear"},
     "out.exr",
     TypeDesc::HALF,
     kMidGrey,
     0,
     1e-3},
    {"--input-colorspace Rec709",
     "in.png",
     kRGB,
     TypeDesc::UINT8,
     kMidGrey,
     {"--input-colorspace", "Rec709"},
     "out.exr",
     TypeDesc::HALF,
     rec709ToLinear(kMidGrey),
     0,
     1e-3},
    {"--output-colorspace linear",
     "in.png",
     kRGB,
     TypeDesc::UINT8,
     kMidGrey,
     {"--output-colorspace", "linear"},
     "out.png",
     TypeDesc::UINT8,
     quantized(linearGrey, 255),
     0,
     0},
    {"--output-colorspace sRGB",
     "in.exr",
     kRGB,
     TypeDesc::FLOAT,
     0.2,
     {"--output-colorspace", "sRGB"},
     "out.exr",
     TypeDesc::FLOAT,
     linearToSrgb(0.2),
     0,
     1e-6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    scratch.clear();
    writeRaw(file(c.input), specOf(3, 2, c.channels, c.inputType), [&](int, int, int) { return float(c.stored); });
    std::vector<std::string> args{"--input", file(c.input), "--output", file(c.output)};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Outcome r = run(args);
    ASSERT_EQ(r.code, kExitOk) << r.err;
    const RawImage out = readRaw(file(c.output));
    EXPECT_EQ(out.spec.format, c.outputType);
    EXPECT_EQ(out.spec.channelnames, c.channels);
    ASSERT_EQ(out.spec.width, 6);
    ASSERT_EQ(out.spec.height, 4);
    for (int c2 = 0; c2 < out.spec.nchannels; ++c2) {
      const bool colour = c.channels[std::size_t(c2)] != "A";
      EXPECT_NEAR(out.at(5, 3, c2), colour ? c.colour : c.data, c.tolerance + 1e-6) << c.channels[std::size_t(c2)];
      EXPECT_EQ(out.at(0, 0, c2), out.at(5, 3, c2));
    }
  }
}

TEST_F(RenderFilesTest, KeepsChannelNamesWindowsPixelAspectAndMetadata)
{
  // A 4 x 2 data window at (1, 1) of a 6 x 4 display window, rows from the top.
  OIIO::ImageSpec spec = specOf(4, 2, {"R", "G", "B", "A", "Z", "mask"}, TypeDesc::FLOAT);
  spec.x = 1;
  spec.y = 1;
  spec.full_width = 6;
  spec.full_height = 4;
  spec.attribute("PixelAspectRatio", 2.0f);
  spec.attribute("Copyright", "Brightwork test plate");
  spec.attribute("custom:take", 7);
  spec.attribute("Exif:PixelXDimension", 6);
  spec.attribute("Exif:PixelYDimension", 4);
  spec.attribute("Software", "PaintTool 3");
  spec.attribute("ImageHistory", "painted");
  writeRaw(file("in.exr"), spec, [](int x, int y, int c) { return float(100 * c + 10 * y + x); });

  const Outcome r = run({"--input", file("in.exr"), "--output", file("out.exr")});
  ASSERT_EQ(r.code, kExitOk) << r.err;
  const RawImage out = readRaw(file("out.exr"));
  EXPECT_EQ(out.spec.channelnames, spec.channelnames);
  EXPECT_EQ(out.spec.format, TypeDesc::FLOAT);
  // Twice the size: the display window at the origin (TestScale's format), the data window
  // twice as far from the top left.
  EXPECT_EQ(out.spec.full_width, 12);
  EXPECT_EQ(out.spec.full_height, 8);
  EXPECT_EQ(out.spec.x, 2);
  EXPECT_EQ(out.spec.y, 2);
  EXPECT_EQ(out.spec.width, 8);
  EXPECT_EQ(out.spec.height, 4);
  EXPECT_EQ(out.spec.get_float_attribute("PixelAspectRatio"), 2.0f);
  EXPECT_EQ(out.spec.get_string_attribute("Copyright"), "Brightwork test plate");
  EXPECT_EQ(out.spec.get_int_attribute("custom:take"), 7);
  EXPECT_EQ(out.spec.get_int_attribute("Exif:PixelXDimension"), 12); // the size stated is the output's
  EXPECT_EQ(out.spec.get_int_attribute("Exif:PixelYDimension"), 8);
  // The output's writer, not the input's, and the history continued.
  EXPECT_EQ(out.spec.get_string_attribute("Software"), "magnifex-render");
  EXPECT_EQ(out.spec.get_string_attribute("ImageHistory"), "painted\nUpscaled by magnifex-render from in.exr");
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 8; ++x)
      for (int c = 0; c < 6; ++c)
        ASSERT_EQ(out.at(x, y, c), float(100 * c + 10 * (y / 2) + x / 2)) << x << "," << y << "," << c;
}

// Data and display windows anywhere: both come out at twice their place and size, and the data
// lands on the same part of the display window as in the input.
// Finite values a half-float output cannot hold become infinities there: the run says how many,
// and a float output, which holds them, says nothing.
TEST_F(RenderFilesTest, ValuesBeyondHalfFloatsAreReported)
{
  const std::vector<float> values{1.0f,
                                  65504.0f,
                                  65519.0f,
                                  65520.0f,
                                  1e6f,
                                  -1e6f,
                                  std::numeric_limits<float>::infinity(),
                                  std::numeric_limits<float>::quiet_NaN()};
  EXPECT_EQ(valuesBeyondHalf(values), 3u); // 65520 and beyond, either sign; not the non-finite ones
  writeRaw(file("bright.exr"), specOf(int(values.size()), 1, {"Y"}, TypeDesc::FLOAT),
           [&](int x, int, int) { return values[std::size_t(x)]; });
  struct Case {
    const char* type;
    std::string warning; // empty: none
  };
  for (const Case& c : {Case{"half", "12 values are beyond the largest half float (65504)"}, Case{"float", ""}}) {
    const Outcome r = run({"--input", file("bright.exr"), "--output", file(std::string("bright_") + c.type + ".exr"),
                           "--output-type", c.type});
    ASSERT_EQ(r.code, kExitOk) << r.err;
    EXPECT_EQ(r.err.find("beyond the largest half float") != std::string::npos, !c.warning.empty()) << r.err;
    if (!c.warning.empty())
      EXPECT_NE(r.err.find(c.warning), std::string::npos) << r.err;
  }
}

TEST_F(RenderFilesTest, WindowsComeOutAtTheInputsPlaceTimesTheScale)
{
  struct Window {
    int x, y, w, h;
  };
  struct Case {
    Window data, display;
  };
  const Case cases[] = {
    {{100, 50, 4, 3}, {100, 50, 4, 3}}, // both away from the origin
    {{0, 0, 4, 3}, {100, 50, 6, 5}},    // display window away, data at the origin
    {{0, 0, 4, 3}, {-20, -10, 30, 20}}, // display window at negative coordinates
    {{-7, -3, 4, 3}, {0, 0, 6, 4}},     // data window outside a display window at the origin
    {{1, 1, 4, 2}, {0, 0, 6, 4}},
  };
  int k = 0;
  for (const Case& c : cases) {
    const std::string in = file("win" + std::to_string(k) + ".exr"),
                      out_path = file("win_out" + std::to_string(k++) + ".exr");
    SCOPED_TRACE(testing::Message() << "data at " << c.data.x << ", " << c.data.y << ", display at " << c.display.x
                                    << ", " << c.display.y);
    OIIO::ImageSpec spec = specOf(c.data.w, c.data.h, kRGB, TypeDesc::FLOAT);
    spec.x = c.data.x;
    spec.y = c.data.y;
    spec.full_x = c.display.x;
    spec.full_y = c.display.y;
    spec.full_width = c.display.w;
    spec.full_height = c.display.h;
    writeRaw(in, spec, [](int x, int y, int ch) { return float(100 * ch + 10 * y + x); });
    const Outcome r = run({"--input", in, "--output", out_path});
    ASSERT_EQ(r.code, kExitOk) << r.err;
    const RawImage out = readRaw(out_path);
    EXPECT_EQ(std::vector<int>({out.spec.x, out.spec.y, out.spec.width, out.spec.height}),
              std::vector<int>({2 * c.data.x, 2 * c.data.y, 2 * c.data.w, 2 * c.data.h}));
    EXPECT_EQ(std::vector<int>({out.spec.full_x, out.spec.full_y, out.spec.full_width, out.spec.full_height}),
              std::vector<int>({2 * c.display.x, 2 * c.display.y, 2 * c.display.w, 2 * c.display.h}));
    for (int y = 0; y < out.spec.height; ++y)
      for (int x = 0; x < out.spec.width; ++x)
        ASSERT_EQ(out.at(x, y, 1), float(100 + 10 * (y / 2) + x / 2)) << x << "," << y;
  }
}

TEST_F(RenderFilesTest, RendersASequenceOfThreeFramesIntoFilesOfTheirOwn)
{
  for (int f = 1; f <= 3; ++f)
    writeRaw(file("in.000" + std::to_string(f) + ".png"), specOf(2, 2, kRGB, TypeDesc::UINT8),
             [f](int, int, int c) { return float(40 * f + c) / 255.0f; });
  const Outcome r = run({"--input", file("in.%04d.png"), "--output", file("out.####.png")});
  ASSERT_EQ(r.code, kExitOk) << r.err;
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"in.0001.png", "in.0002.png", "in.0003.png", "out.0001.png",
                                             "out.0002.png", "out.0003.png"})); // no temporaries left
  for (int f = 1; f <= 3; ++f) {
    const RawImage out = readRaw(file("out.000" + std::to_string(f) + ".png"));
    EXPECT_EQ(out.spec.format, TypeDesc::UINT8);
    for (int c = 0; c < 3; ++c)
      EXPECT_NEAR(out.at(3, 3, c), (40 * f + c) / 255.0, 1e-6) << f;
  }
}

TEST_F(RenderFilesTest, AFailedOrAbortedRenderLeavesNoFileAndOlderOutputsAsTheyWere)
{
  struct Case {
    const char* what;
    std::vector<std::string> args; // file names are in the test's folder
    int code;
    const char* message;
    bool abort;
  };
  const std::vector<Case> cases{
    {"missing input", {"--input", "missing.png", "--output", "out.png"}, kExitSetup, "no such file", false},
    {"unreadable input", {"--input", "garbage.png", "--output", "out.png"}, kExitSetup, "cannot read", false},
    {"missing frame of a sequence",
     {"--input", "seq.####.png", "--frames", "2-3", "--output", "out.####.png"},
     kExitSetup,
     "missing frame 2",
     false},
    {"unwritable output",
     {"--input", "in.png", "--output", "no/such/folder/out.png"},
     kExitSetup,
     "cannot write",
     false},
    {"output format unknown", {"--input", "in.png", "--output", "out.unknown"}, kExitSetup, "cannot write", false},
    {"the node fails",
     {"--input", "in.png", "--output", "out.png", "--set", "fail=true"},
     kExitNodeFailed,
     "failure requested",
     false},
    {"aborted", {"--input", "in.png", "--output", "out.png"}, kExitAborted, "render aborted", true},
  };
  writeRaw(file("in.png"), specOf(2, 2, kRGB, TypeDesc::UINT8), [](int, int, int) { return 0.5f; });
  writeRaw(file("seq.0001.png"), specOf(2, 2, kRGB, TypeDesc::UINT8), [](int, int, int) { return 0.5f; });
  writeRaw(file("seq.0003.png"), specOf(2, 2, kRGB, TypeDesc::UINT8), [](int, int, int) { return 0.5f; });
  std::ofstream(file("garbage.png")) << "not an image";
  std::ofstream(file("out.png")) << "an older render";
  std::ofstream(file("out.0002.png")) << "an older frame 2";
  const auto before = snapshot();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = c.args;
    for (std::size_t i = 1; i < args.size(); i += 2)
      if (args[i - 1] == "--input" || args[i - 1] == "--output")
        args[i] = file(args[i]);
    Outcome r;
    if (c.abort) {
      AbortAtFirstProgress abort;
      r = run(args);
    } else {
      r = run(args);
    }
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(snapshot(), before);
  }
}

TEST_F(RenderFilesTest, RefusesToWriteOverItsInputs)
{
  writeRaw(file("in.png"), specOf(2, 2, kRGB, TypeDesc::UINT8), [](int, int, int) { return 0.5f; });
  for (int f = 1; f <= 3; ++f)
    writeRaw(file("seq." + std::to_string(f) + ".png"), specOf(2, 2, kRGB, TypeDesc::UINT8),
             [](int, int, int) { return 0.5f; });
  std::ofstream(file("node.txt")) << "TestScale {\n}\n";
  fs::create_directories(dir / "sub");
  fs::create_symlink(file("in.png"), file("link.png"));
  const std::string plugin = fs::path(TEST_PLUGIN_PATH).lexically_normal().string();
  struct Case {
    const char* what;
    std::vector<std::string> args;
    const char* names; // the option of the output that is refused
  };
  const std::vector<Case> cases{
    {"the same path", {"--input", file("in.png"), "--output", file("in.png")}, "--output"},
    {"another spelling", {"--input", file("in.png"), "--output", (dir / "sub" / ".." / "in.png").string()}, "--output"},
    {"a link to it", {"--input", file("in.png"), "--output", file("link.png")}, "--output"},
    {"one frame of a sequence",
     {"--input", file("seq.%d.png"), "--frames", "3-4", "--output", file("seq.#.png")},
     "--output"},
    {"--trace", {"--input", file("in.png"), "--validate-only", "--trace", file("in.png")}, "--trace"},
    {"--script-out over the input", {"--input", file("in.png"), "--script-out", file("in.png")}, "--script-out"},
    {"--script-out over --script-in",
     {"--script-in", file("node.txt"), "--script-out", file("node.txt")},
     "--script-out"},
    {"--trace over the plug-in", {"--trace", plugin}, "--trace"},
  };
  const auto before = snapshot();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome r = run(c.args);
    EXPECT_EQ(r.code, kExitUsage) << r.err;
    EXPECT_NE(r.err.find(std::string(c.names) + " "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("refusing to write over an input"), std::string::npos) << r.err;
    EXPECT_EQ(snapshot(), before);
  }
  // Frames of the sequence that are not rendered may be written over: they are other files.
  EXPECT_EQ(run({"--input", file("seq.%d.png"), "--frames", "4-5", "--output", file("seq.#.png")}).code, kExitOk);
}

TEST_F(RenderFilesTest, RejectsUnknownColourSpaces)
{
  for (const char* option : {"--input-colorspace", "--output-colorspace"}) {
    const Outcome r = run({option, "Technicolor", "--validate-only"});
    EXPECT_EQ(r.code, kExitUsage) << option;
    EXPECT_NE(r.err.find("unknown colour space 'Technicolor' for " + std::string(option)), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("sRGB"), std::string::npos) << r.err; // the message lists the known ones
  }
}

// The real program: the plug-in file is loaded from a second folder, which this process must not.
TEST_F(RenderFilesTest, WarnsOnceThatTheTinyPackGivesNoUsefulPictures)
{
  writeRaw(file("in.png"), specOf(2, 2, kRGB, TypeDesc::UINT8), [](int, int, int) { return 0.5f; });
  for (const char* pack : {"tiny", "studio"}) {
    fs::create_directories(dir / pack);
    fs::copy_file(TEST_PLUGIN_PATH, dir / pack / fs::path(TEST_PLUGIN_PATH).filename());
    const Outcome r = runProgram("--plugin-dir " + file(pack) + " --class TestScale --input " + file("in.png") +
                                 " --output " + file(std::string(pack) + ".png"));
    EXPECT_EQ(r.code, kExitOk) << r.err;
    std::size_t warnings = 0;
    for (std::size_t at = r.err.find("warning:"); at != std::string::npos; at = r.err.find("warning:", at + 1))
      ++warnings;
    EXPECT_EQ(warnings, std::string(pack) == "tiny" ? 1u : 0u) << r.err;
    if (warnings)
      EXPECT_NE(r.err.find("give no useful pictures"), std::string::npos) << r.err;
  }
}

TEST_F(RenderFilesTest, LogDpxIsReadAsCineonAndALogDpxOutputEncodedBack)
{
  // Cineon anchors: code 95 is black, 685 white (1.0), 470 the 18% grey card.
  const float codes[3] = {95.0f, 470.0f, 685.0f};
  const float linear[3] = {0.0f, 0.183f, 1.0f};
  OIIO::ImageSpec spec = specOf(3, 1, kRGB, TypeDesc::UINT16);
  spec.attribute("oiio:BitsPerSample", 10);
  spec.attribute("dpx:Transfer", "Logarithmic");
  writeRaw(file("log.dpx"), spec, [&](int x, int, int) { return codes[x] / 1023.0f; });

  const Outcome toExr = run({"--input", file("log.dpx"), "--output", file("lin.exr"), "--output-type", "float"});
  ASSERT_EQ(toExr.code, kExitOk) << toExr.err;
  const RawImage lin = readRaw(file("lin.exr"));
  for (int x = 0; x < 3; ++x)
    EXPECT_NEAR(lin.at(2 * x, 0, 1), linear[x], 1e-3) << codes[x];

  const Outcome toDpx = run({"--input", file("log.dpx"), "--output", file("out.dpx")});
  ASSERT_EQ(toDpx.code, kExitOk) << toDpx.err;
  const RawImage log = readRaw(file("out.dpx"));
  EXPECT_EQ(log.spec.get_string_attribute("dpx:Transfer"), "Logarithmic");
  for (int x = 0; x < 3; ++x)
    EXPECT_NEAR(log.at(2 * x, 0, 0) * 1023.0f, codes[x], 0.5f) << codes[x];

  // Overridable as every colour space: taken as linear, the codes come through as they are.
  const Outcome asLinear = run({"--input", file("log.dpx"), "--input-colorspace", "linear", "--output", file("raw.exr"),
                                "--output-type", "float"});
  ASSERT_EQ(asLinear.code, kExitOk) << asLinear.err;
  EXPECT_NEAR(readRaw(file("raw.exr")).at(2, 0, 0), 470.0f / 1023.0f, 1e-3);
}

TEST_F(RenderFilesTest, AFileOfSeveralPartsIsRenderedOnlyForThePartNamed)
{
  std::vector<OIIO::ImageSpec> parts{specOf(2, 2, kRGB, TypeDesc::FLOAT), specOf(2, 2, kRGB, TypeDesc::FLOAT)};
  parts[0].attribute("name", "beauty");
  parts[1].attribute("name", "diffuse");
  {
    auto out = OIIO::ImageOutput::create(file("parts.exr"));
    ASSERT_TRUE(out && out->open(file("parts.exr"), 2, parts.data()));
    const std::vector<float> beauty(12, 0.25f), diffuse(12, 0.75f);
    ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, beauty.data()));
    ASSERT_TRUE(out->open(file("parts.exr"), parts[1], OIIO::ImageOutput::AppendSubimage));
    ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, diffuse.data()));
    ASSERT_TRUE(out->close());
  }
  const Outcome unnamed = run({"--input", file("parts.exr"), "--output", file("out.exr")});
  EXPECT_EQ(unnamed.code, kExitSetup);
  EXPECT_NE(unnamed.err.find("it holds 2 parts (beauty, diffuse) and one is rendered: choose it with --input-part"),
            std::string::npos)
    << unnamed.err;
  EXPECT_FALSE(fs::exists(file("out.exr")));
  struct Case {
    const char* part;
    float value;
  };
  for (const Case& c : {Case{"diffuse", 0.75f}, Case{"0", 0.25f}}) {
    SCOPED_TRACE(c.part);
    const Outcome r = run({"--input", file("parts.exr"), "--input-part", c.part, "--output", file("out.exr")});
    ASSERT_EQ(r.code, kExitOk) << r.err;
    EXPECT_EQ(readRaw(file("out.exr")).at(3, 3, 1), c.value);
  }
  const Outcome missing = run({"--input", file("parts.exr"), "--input-part", "specular", "--output", file("out2.exr")});
  EXPECT_EQ(missing.code, kExitSetup);
  EXPECT_NE(missing.err.find("it has no part specular (its parts: beauty, diffuse)"), std::string::npos) << missing.err;
}

TEST(UnrenderedChannels, AreUpscaledFromTheInputWithinItsRangeOrLeftOut)
{
  using namespace DD::Image;
  // Input 3 x 2: alpha a ramp 0, 0.5, 1 along x; other.mask constant 0.25. Output twice as large.
  host_runtime::Image input = host_runtime::Image::filled(
    Box(0, 0, 3, 2), {Chan_Red, Chan_Alpha, getChannel("other.mask")}, [](int x, int, int c) {
      return c == 0 ? 9.0f : c == 1 ? 0.5f * float(x) : 0.25f;
    });
  ChannelSet channels(Mask_RGB);
  channels += Chan_Alpha;
  channels += getChannel("other.mask");
  ImagePlane plane(Box(0, 0, 6, 4), true, channels, channels.size());
  plane.makeUnique();
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x)
      for (int z = 0; z < plane.nComps(); ++z)
        plane.writableAt(x, y, z) = 1.0f; // what the node wrote
  ChannelSet others;
  others += Chan_Alpha;
  others += getChannel("other.mask");
  upscaleFromInput(plane, input, others);
  const int a = plane.chanNo(Chan_Alpha), mask = plane.chanNo(getChannel("other.mask"));
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 6; ++x) {
      EXPECT_NEAR(plane.at(x, y, mask), 0.25f, 1e-6) << x << "," << y;
      EXPECT_GE(plane.at(x, y, a), 0.0f);
      EXPECT_LE(plane.at(x, y, a), 1.0f);
      if (x > 0)
        EXPECT_GE(plane.at(x, y, a), plane.at(x - 1, y, a)) << "the ramp rises";
      EXPECT_EQ(plane.at(x, y, plane.chanNo(Chan_Red)), 1.0f) << "rendered channels stay the node's";
    }
    EXPECT_LT(plane.at(0, y, a), 0.25f);
    EXPECT_GT(plane.at(5, y, a), 0.75f);
  }
  const ImagePlane dropped = withoutChannels(plane, others);
  EXPECT_EQ(dropped.channels(), ChannelSet(Mask_RGB));
  EXPECT_EQ(dropped.at(5, 3, dropped.chanNo(Chan_Blue)), 1.0f);
  EXPECT_EQ(channelListText(others), "A, mask");
}

// Channels the node is not given take none of the host's slots: they are read from the file and
// written beside the rendered ones, so a file of more channels than the host holds renders.
TEST_F(RenderFilesTest, FilesOfMoreChannelsThanTheHostHoldsKeepThemAll)
{
  std::vector<std::string> names{"R", "G", "B", "A"};
  for (int i = 0; i < 70; ++i)
    names.push_back("aov.c" + std::to_string(i));
  writeRaw(file("many.exr"), specOf(2, 2, names, TypeDesc::FLOAT), [](int, int, int c) { return float(c + 1); });
  ImageReadSettings reading;
  reading.forNode = [](const std::vector<std::string>& n) { return channelsGivenToTheNode(n, {}); };
  EXPECT_EQ(imageFileReader(reading).readDescription(file("many.exr")).channels.size(), 4u);
  EXPECT_EQ(imageFileReader(reading).readPixels(file("many.exr")).pixels.size(), 2u * 2u * 4u);

  // What a 2x render of it writes: the node's plane, then the others resized.
  const DD::Image::Box box(0, 0, 4, 4);
  DD::Image::ImagePlane plane(box, true, DD::Image::Mask_RGBA, 4);
  plane.makeUnique();
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x)
      for (int c = 0; c < 4; ++c)
        plane.writableAt(x, y, c) = 0.25f;
  const CarriedChannels carried = upscaled(readCarriedChannels(file("many.exr"), reading), box);
  writeImageFile(file("out.exr"), plane, DD::Image::Format(4, 4), {}, &carried);
  const RawImage out = readRaw(file("out.exr"));
  // OpenEXR stores channels by name: the order read back is its own.
  std::vector<std::string> sorted = out.spec.channelnames;
  std::sort(sorted.begin(), sorted.end());
  std::sort(names.begin(), names.end());
  ASSERT_EQ(sorted, names);
  for (int c = 0; c < out.spec.nchannels; ++c) {
    const std::string& name = out.spec.channelnames[std::size_t(c)];
    const float expected = name.size() == 1 ? 0.25f : float(std::stoi(name.substr(5)) + 5); // aov.cN held N + 5
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x)
        ASSERT_EQ(out.at(x, y, c), expected) << x << "," << y << "," << name;
  }
}

// What the run does that was not asked for in so many words is said before the first frame.
TEST_F(RenderFilesTest, SaysBeforeTheFirstFrameWhatItDoesUnasked)
{
  for (const char* name : {"seq.1001.png", "seq.1002.png"})
    writeRaw(file(name), specOf(2, 2, {"R", "G", "B"}, TypeDesc::UINT8), [](int, int, int) { return 0.5f; });
  std::ofstream(file("seq.4294967296.png")) << "never read";
  struct Case {
    const char* what;
    std::vector<std::string> args;
    const char* bfloat16; // MAGNIFEX_CPU_BFLOAT16, null: unset
    const char* warning;
  };
  const std::vector<Case> cases{
    {"frames before the input's",
     {"--frames", "1-2"},
     nullptr,
     "frames 1-2 lie outside the input's frames 1001-1002: they get its first frame, 1001"},
    {"frames after the input's",
     {"--frames", "1002-1004"},
     nullptr,
     "frames 1003-1004 lie outside the input's frames 1001-1002: they get its last frame, 1002"},
    {"a frame number beyond 32 bits", {}, nullptr, "have frame numbers beyond 32 bits and are no frames"},
    {"a BFloat16 switch neither on nor off", {}, "maybe", "MAGNIFEX_CPU_BFLOAT16=maybe is neither on"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args{"--input", file("seq.%d.png"), "--output", file("o.%d.png")};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (c.bfloat16)
      setenv("MAGNIFEX_CPU_BFLOAT16", c.bfloat16, 1);
    const Outcome r = run(args);
    unsetenv("MAGNIFEX_CPU_BFLOAT16");
    EXPECT_EQ(r.code, kExitOk) << r.err;
    const std::size_t at = r.err.find(c.warning);
    EXPECT_NE(at, std::string::npos) << r.err;
    EXPECT_LT(at, r.err.find(" done in ")) << "said before the first frame: " << r.err;
  }
}

// A file says the colour space it was written in, whichever was asked for.
TEST_F(RenderFilesTest, OutputsAreTaggedWithTheColourSpaceWritten)
{
  writeRaw(file("in.exr"), specOf(2, 2, kRGB, TypeDesc::HALF), [](int, int, int) { return 0.5f; });
  const std::vector<std::pair<std::string, std::string>> cases{
    {"", "sRGB"}, {"linear", "Linear"}, {"Rec709", "Rec709"}};
  for (const auto& [asked, tag] : cases) {
    std::vector<std::string> args{"--input", file("in.exr"), "--output-type", "uint8", "--output", file("out.png")};
    if (!asked.empty())
      args.insert(args.end(), {"--output-colorspace", asked});
    const Outcome r = run(args);
    ASSERT_EQ(r.code, kExitOk) << r.err;
    EXPECT_EQ(readRaw(file("out.png")).spec.get_string_attribute("oiio:ColorSpace"), tag) << asked;
  }
}
