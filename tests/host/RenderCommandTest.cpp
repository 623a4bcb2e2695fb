#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "commands/CommandLine.h"
#include "commands/PluginLocation.h"
#include "commands/RenderCommand.h"
#include "commands/UnrenderedChannels.h"
#include "common/ScratchDir.h"
#include "imagefiles/ImageFiles.h"
#include "support/CommandRunner.h"

namespace fs = std::filesystem;
using namespace render_command;
using test_support::Outcome;
using test_support::slurp;

using RenderCommandTest = test_support::CommandTest;

TEST(CommandLine, ReadsFramesAndChannels)
{
  EXPECT_EQ(parseFrameRange("3"), std::make_pair(3, 3));
  EXPECT_EQ(parseFrameRange("1-24"), std::make_pair(1, 24));
  EXPECT_EQ(parseFrameRange("-5--1"), std::make_pair(-5, -1));
  EXPECT_EQ(parseFrameRange("-5-3"), std::make_pair(-5, 3));
  for (const char* bad : {"", "a", "3-", "5-1", "1-2-3", "1.5"})
    EXPECT_THROW(parseFrameRange(bad), UsageError) << bad;
  DD::Image::ChannelSet expected(DD::Image::Mask_RGB);
  expected += DD::Image::Chan_Z;
  EXPECT_EQ(parseChannels("rgb,depth.Z"), expected);
  EXPECT_EQ(parseChannels("alpha"), DD::Image::ChannelSet(DD::Image::Chan_Alpha));
  for (const char* bad : {"", "Z", "rgb,", "purple"})
    EXPECT_THROW(parseChannels(bad), UsageError) << bad;
  EXPECT_EQ(parseCommandLine({"--output-type", "half"}).outputType, PixelType::Half);
  EXPECT_EQ(parseCommandLine({"--output-type=uint16"}).outputType, PixelType::UInt16);
  for (const char* bad : {"", "int8", "Float", "double"})
    EXPECT_THROW(parsePixelType(bad), UsageError) << bad;
  const CommandLine cl = parseCommandLine({"--set", "a=1", "--press=b", "--set=c=x=y", "--validate-only"});
  ASSERT_EQ(cl.knobActions.size(), 3u);
  EXPECT_EQ(cl.knobActions[1].kind, KnobAction::Kind::Press);
  EXPECT_EQ(cl.knobActions[2].value, "x=y");
  EXPECT_TRUE(cl.drives());
  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"--set", "noequals"},
                                             {"--set"},
                                             {"--help=1"},
                                             {"--validate-only", "--output", "x.exr"},
                                             {"-x"},
                                             {"--check", "--validate-only"}})
    EXPECT_THROW(parseCommandLine(bad), UsageError);
}

// What a wrapping command passes on: the options in their order, each as --name value whatever the
// spelling given; a repeated option counts last; values may start with '-'; flags take none.
TEST(CommandLine, OptionsAsGivenRepeatsAndValuesThatLookLikeOptions)
{
  const CommandLine cl = parseCommandLine(
    {"--frames", "-5--1", "--set=mode=sequence", "--input", "a.exr", "--press", "reset", "--input=b.exr", "--gui"});
  EXPECT_EQ(cl.frames, std::make_pair(-5, -1));
  EXPECT_EQ(cl.input, "b.exr");
  std::vector<std::vector<std::string>> words;
  for (const CommandLine::GivenOption& o : cl.given)
    words.push_back(o.words);
  EXPECT_EQ(words, (std::vector<std::vector<std::string>>{{"--frames", "-5--1"},
                                                          {"--set", "mode=sequence"},
                                                          {"--input", "a.exr"},
                                                          {"--press", "reset"},
                                                          {"--input", "b.exr"},
                                                          {"--gui"}}));
  struct Bad {
    std::vector<std::string> args;
    const char* message;
  };
  for (const Bad& bad : {Bad{{"--input"}, "--input needs a value"}, Bad{{"--gui=no"}, "--gui takes no value"},
                         Bad{{"--set", "a=1", "b=2"}, "unknown option 'b=2'"}}) {
    try {
      parseCommandLine(bad.args);
      ADD_FAILURE() << bad.message;
    } catch (const UsageError& e) {
      EXPECT_EQ(std::string(e.what()), bad.message);
    }
  }
}

// The program itself is slow to start (its image library loads many others): few runs.
TEST_F(RenderCommandTest, ProgramHelpsAndRejectsUnknownOptions)
{
  Outcome help = runProgram("--help");
  EXPECT_EQ(help.code, kExitOk);
  EXPECT_EQ(help.out.rfind("usage: magnifex-render", 0), 0u);
  for (const char* option : {"--knobs-json", "--output-type", "--input-colorspace", "--output-colorspace", "--trace"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;

  Outcome unknown = runProgram("--frobnicate");
  EXPECT_EQ(unknown.code, kExitUsage);
  EXPECT_NE(unknown.err.find("unknown option '--frobnicate'"), std::string::npos);

  Outcome panel = runProgram(std::string("--plugin-dir ") + TEST_PLUGIN_DIR + " --class TestScale --knobs-json");
  EXPECT_EQ(panel.code, kExitOk) << panel.err;
  EXPECT_EQ(nlohmann::json::parse(panel.out).size(), 16u);
}

TEST_F(RenderCommandTest, ExitCodesTellWhatWentWrong)
{
  EXPECT_EQ(run({"--set", "nope=1"}).code, kExitUsage);
  const Outcome badValue = run({"--set", "scale=9x"});
  EXPECT_EQ(badValue.code, kExitUsage);
  EXPECT_NE(badValue.err.find("bad value '9x' for knob scale"), std::string::npos) << badValue.err;
  EXPECT_EQ(run({"--press", "gain"}).code, kExitUsage);

  const Outcome noPlugin = runWith({"--plugin-dir", dir.string()});
  EXPECT_EQ(noPlugin.code, kExitSetup);
  EXPECT_NE(noPlugin.err.find(file("Magnifex.so")), std::string::npos) << noPlugin.err;

  std::ofstream(file("Broken.so")) << "not a library";
  const Outcome broken = runWith({"--plugin", file("Broken.so")});
  EXPECT_EQ(broken.code, kExitSetup);
  EXPECT_NE(broken.err.find("Broken.so: "), std::string::npos) << broken.err; // the loader's own words

  EXPECT_EQ(runWith({"--plugin", TEST_PLUGIN_PATH, "--class", "Nothing"}).code, kExitSetup);
  const Outcome failed = run({"--set", "contexts=-1", "--validate-only"});
  EXPECT_EQ(failed.code, kExitNodeFailed);
  EXPECT_NE(failed.err.find("frame 1: TestScale"), std::string::npos) << failed.err;
  EXPECT_NE(failed.err.find("contexts must not be negative"), std::string::npos) << failed.err;
  EXPECT_EQ(run({"--trace", file("no/such/dir/t.jsonl")}).code, kExitSetup);
}

TEST_F(RenderCommandTest, PrintsThePanelAfterTheChangesAsJson)
{
  const Outcome r = run({"--set", "gain=2.5", "--knobs-json"});
  ASSERT_EQ(r.code, kExitOk) << r.err;
  const nlohmann::json panel = nlohmann::json::parse(r.out);
  ASSERT_EQ(panel.size(), 16u);
  EXPECT_EQ(panel[1].at("text").get<std::string>(), "panel"); // knob_changed with the panel-shown knob
  EXPECT_EQ(panel[6].at("name").get<std::string>(), "gain");
  EXPECT_EQ(panel[6].at("value").get<double>(), 2.5);
}

TEST_F(RenderCommandTest, SavesAndRestoresParameters)
{
  ASSERT_EQ(run({"--set", "scale=1x (copy)", "--set", "secret=yes", "--script-out", file("a.nk")}).code, kExitOk);
  const std::string saved = slurp(file("a.nk"));
  EXPECT_NE(saved.find(" scale \"1x (copy)\"\n"), std::string::npos);
  EXPECT_EQ(saved.find("last_changed"), std::string::npos);
  ASSERT_EQ(run({"--script-in", file("a.nk"), "--script-out", file("b.nk")}).code, kExitOk);
  EXPECT_EQ(slurp(file("b.nk")), saved);
  std::ofstream(file("bad.nk")) << "TestScale {\n bogus 1\n}\n";
  const Outcome bad = run({"--script-in", file("bad.nk")});
  EXPECT_EQ(bad.code, kExitUsage);
  EXPECT_NE(bad.err.find("bad.nk:2: unknown knob bogus"), std::string::npos) << bad.err;
  EXPECT_EQ(run({"--script-in", file("missing.nk")}).code, kExitSetup);
}

TEST_F(RenderCommandTest, ValidateOnlyReportsEachFrameAndTracesIt)
{
  const Outcome r = run({"--set", "contexts=2", "--frames", "4-5", "--validate-only", "--trace", file("t.jsonl")});
  ASSERT_EQ(r.code, kExitOk) << r.err;
  EXPECT_NE(r.out.find("frame 4: format 0 0 2 2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("contexts 2 (frames 5 4)"), std::string::npos) << r.out;
  std::istringstream lines(slurp(file("t.jsonl")));
  std::string line;
  int validations = 0, opens = 0;
  std::string last;
  while (std::getline(lines, line)) {
    const nlohmann::json v = nlohmann::json::parse(line);
    validations += v.at("event").get<std::string>() == "validate";
    opens += v.at("event").get<std::string>() == "open";
    last = v.at("event").get<std::string>();
    if (v.at("event").get<std::string>() == "validate")
      EXPECT_EQ(v.at("extra").at("factor").get<double>(), 2);
  }
  EXPECT_EQ(validations, 2);
  EXPECT_EQ(opens, 0);
  EXPECT_EQ(last, "destroy");
}

// The pixels, windows and channels of a sequence's files are RenderFilesTest's; here the range
// given, and what a missing frame or a wrong pattern does to the exit code.
TEST_F(RenderCommandTest, RendersTheFramesAskedForAndExitsOnMissingOnes)
{
  if (!imageFilesAvailable())
    GTEST_SKIP() << "built without image files";
  const DD::Image::Format format(3, 2);
  for (int f = 1; f <= 3; ++f) {
    DD::Image::ImagePlane plane(DD::Image::Box(0, 0, 3, 2), true, DD::Image::Mask_RGB);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 3; ++x)
        for (int z = 0; z < 3; ++z)
          plane.writableAt(x, y, z) = float(f * 100 + y * 10 + x + z * 0.25f);
    writeImageFile(file("in.000" + std::to_string(f) + ".exr"), plane, format);
  }
  const Outcome r =
    run({"--input", file("in.####.exr"), "--frames", "2-3", "--set", "scale=4x", "--output", file("out.%04d.exr")});
  ASSERT_EQ(r.code, kExitOk) << r.err;
  EXPECT_NE(r.err.find("frame 3 done"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(file("out.0001.exr")));
  EXPECT_TRUE(fs::exists(file("out.0002.exr")) && fs::exists(file("out.0003.exr")));

  fs::remove(file("in.0002.exr"));
  const Outcome missing = run({"--input", file("in.####.exr"), "--output", file("out.%04d.exr")});
  EXPECT_EQ(missing.code, kExitSetup); // a file of the input, not the node
  EXPECT_NE(missing.err.find("frame 2: Read1: missing frame 2"), std::string::npos) << missing.err;
  EXPECT_EQ(run({"--input", file("nothing.####.exr")}).code, kExitSetup);
  EXPECT_EQ(run({"--input", file("in.####.exr"), "--output", file("one.exr")}).code, kExitUsage);
}

TEST_F(RenderCommandTest, FramesTheNodeRendersNothingForGetNoFile)
{
  if (!imageFilesAvailable())
    GTEST_SKIP() << "built without image files";
  const DD::Image::Format format(2, 2);
  DD::Image::ImagePlane plane(DD::Image::Box(0, 0, 2, 2), true, DD::Image::Mask_RGB);
  for (int f = 1; f <= 4; ++f)
    writeImageFile(file("in.000" + std::to_string(f) + ".exr"), plane, format);
  fs::create_directories(file("out"));
  const Outcome r = run({"--input", file("in.####.exr"), "--set", "last_frame=2", "--output", file("out/o.####.exr"),
                         "--trace", file("t.jsonl")});
  EXPECT_EQ(r.code, kExitOk) << r.err;
  std::set<std::string> written;
  for (const fs::directory_entry& e : fs::directory_iterator(file("out")))
    written.insert(e.path().filename().string());
  EXPECT_EQ(written, (std::set<std::string>{"o.0001.exr", "o.0002.exr"}));
  for (int f : {3, 4})
    EXPECT_NE(r.err.find("frame " + std::to_string(f) + " skipped: the node wrote no pixels for it"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("frame 2 skipped"), std::string::npos) << r.err;

  std::istringstream lines(slurp(file("t.jsonl")));
  std::vector<int> skipped, unwritten;
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json v = nlohmann::json::parse(line);
    if (v.at("event").get<std::string>() == "frame_skipped")
      skipped.push_back(int(v.at("skipped_frame").get<double>()));
    if (v.at("event").get<std::string>() == "render_end" && !v.at("pixels_written").get<bool>())
      unwritten.push_back(int(v.at("frame").get<double>()));
  }
  EXPECT_EQ(skipped, (std::vector<int>{3, 4}));
  EXPECT_EQ(unwritten, (std::vector<int>{3, 4}));
}

// A farm task that runs again renders only the frames whose files are missing.
TEST_F(RenderCommandTest, SkipExistingRendersOnlyMissingFrames)
{
  if (!imageFilesAvailable())
    GTEST_SKIP() << "built without image files";
  const DD::Image::Format format(2, 2);
  DD::Image::ImagePlane plane(DD::Image::Box(0, 0, 2, 2), true, DD::Image::Mask_RGB);
  for (int f = 1; f <= 4; ++f)
    writeImageFile(file("in.000" + std::to_string(f) + ".exr"), plane, format);
  std::ofstream(file("o.0002.exr")) << "from an earlier attempt";
  std::ofstream(file("o.0004.exr")) << "from an earlier attempt";
  const Outcome r = run({"--input", file("in.####.exr"), "--frames", "1-4", "--output", file("o.####.exr"),
                         "--skip-existing", "--trace", file("t.jsonl")});
  ASSERT_EQ(r.code, kExitOk) << r.err;
  for (int f : {2, 4}) {
    EXPECT_EQ(slurp(file("o.000" + std::to_string(f) + ".exr")), "from an earlier attempt");
    EXPECT_NE(
      r.err.find("frame " + std::to_string(f) + " skipped: " + file("o.000" + std::to_string(f) + ".exr") + " exists"),
      std::string::npos)
      << r.err;
  }
  EXPECT_TRUE(fs::exists(file("o.0001.exr")));
  EXPECT_TRUE(fs::exists(file("o.0003.exr")));
  EXPECT_NE(r.err.find("frames 1-4: 2 rendered ("), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" s per frame), 2 already written, 0 without pixels\n"), std::string::npos) << r.err;

  // The node never hears of the skipped frames.
  std::istringstream lines(slurp(file("t.jsonl")));
  std::vector<int> validated, skipped;
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json v = nlohmann::json::parse(line);
    if (v.at("event").get<std::string>() == "validate" && v.at("class").get<std::string>() == "TestScale")
      validated.push_back(int(v.at("frame").get<double>()));
    if (v.at("event").get<std::string>() == "frame_skipped") {
      EXPECT_EQ(v.at("reason").get<std::string>(), "output exists");
      skipped.push_back(int(v.at("skipped_frame").get<double>()));
    }
  }
  EXPECT_EQ(validated, (std::vector<int>{1, 3}));
  EXPECT_EQ(skipped, (std::vector<int>{2, 4}));

  EXPECT_THROW(parseCommandLine({"--skip-existing"}), UsageError); // no files to look for
}

// The thread count and the BFloat16 opt-in must be in the environment before the plug-in (and its
// tensor library) loads.
TEST_F(RenderCommandTest, ThreadsAreSetBeforeThePluginLoads)
{
  const std::string args =
    std::string("--plugin-dir ") + TEST_PLUGIN_DIR + " --class TestScale --validate-only --trace " + file("t.jsonl");
  const Outcome r = runProgram(args + " --threads 3 --cpu-bfloat16");
  ASSERT_EQ(r.code, kExitOk) << r.err;
  std::istringstream lines(slurp(file("t.jsonl")));
  int checked = 0;
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json e = nlohmann::json::parse(line);
    if (e.at("event").get<std::string>() != "validate")
      continue;
    EXPECT_EQ(e.at("extra").at("omp_threads_at_load").get<std::string>(), "3");
    EXPECT_EQ(e.at("extra").at("mkl_threads_at_load").get<std::string>(), "3");
    EXPECT_EQ(e.at("extra").at("cpu_bfloat16_at_load").get<std::string>(), "1");
    ++checked;
  }
  EXPECT_EQ(checked, 1);
  for (const char* bad : {"0", "-2", "two", ""})
    EXPECT_THROW(parseCommandLine({"--threads", bad}), UsageError) << bad;
}

TEST(PluginLocation, TheDefaultIsTheBestPackBuiltNextToTheProgram)
{
  const magnifex::test::ScratchDir scratch("plugin-location-test");
  const fs::path& root = scratch.path();
  struct Case {
    std::vector<const char*> packs; // built under <root>/plugins
    const char* expected;
  };
  const std::vector<Case> cases{
    {{"studio", "trained", "reference", "tiny"}, "studio"},
    {{"trained", "reference", "tiny"}, "trained"},
    {{"reference", "tiny"}, "reference"},
    {{"tiny"}, "tiny"},
    {{}, "tiny"}, // named all the same, so that the error says where it looked
    {{"studio", "tiny"}, "studio"},
  };
  for (const Case& c : cases) {
    scratch.clear();
    fs::create_directories(root / "bin");
    for (const char* pack : c.packs)
      fs::create_directories(root / "plugins" / pack);
    EXPECT_EQ(defaultPluginDirectory(root / "bin"), (root / "plugins" / c.expected).lexically_normal()) << c.expected;
  }
}

// The Magnifex node renders from the first four channels of its input in the host's order; those
// and the ones asked for by name are all it is given, so that a file of any number of channels
// leaves the host's slots to spare.
TEST(OtherChannels, TheMagnifexNodeIsGivenWhatItRendersFromAndWhatIsAskedFor)
{
  std::vector<std::string> many{"rgba.red", "rgba.green", "rgba.blue", "rgba.alpha"};
  for (int i = 0; i < 70; ++i)
    many.push_back("aov.c" + std::to_string(i));
  std::vector<bool> firstFour(many.size(), false);
  std::fill_n(firstFour.begin(), 4, true);
  struct Case {
    const char* what;
    std::vector<std::string> names, asked;
    std::vector<bool> given;
  };
  const std::vector<Case> cases{
    {"RGBA and more", {"rgba.red", "rgba.green", "rgba.blue", "rgba.alpha", "diffuse.R"}, {}, {1, 1, 1, 1, 0}},
    {"RGB, depth and a mask", {"rgba.red", "rgba.green", "rgba.blue", "depth.Z", "other.mask"}, {}, {1, 1, 1, 1, 0}},
    {"colour after other layers", {"diffuse.R", "rgba.blue", "rgba.red", "rgba.green", "spec.R"}, {}, {1, 1, 1, 1, 0}},
    {"grey", {"other.Y"}, {}, {1}},
    {"asked by name", {"rgba.red", "rgba.green", "rgba.blue", "rgba.alpha", "a.x", "b.y"}, {"b.y"}, {1, 1, 1, 1, 0, 1}},
    {"seventy AOVs", many, {}, firstFour},
  };
  for (const Case& c : cases)
    EXPECT_EQ(channelsGivenToTheNode(c.names, c.asked), c.given) << c.what;
}

// A script saved on a machine without a usable GPU says use_gpu false: rendering it where the
// plug-in can use one leaves that GPU idle, which is said; nothing else is.
TEST(RenderCommand, WarnsWhenAUsableGpuWouldStayIdle)
{
  struct Case {
    const char* what;
    GpuKnob knob;
    const char* warning; // empty: none
  };
  const std::vector<Case> cases{
    {"a node without the knob", {false, false, true, ""}, ""},
    {"use_gpu on", {true, true, true, "Big GPU"}, ""},
    {"no usable GPU", {true, false, false, "Not available"}, ""},
    {"use_gpu off beside a usable GPU",
     {true, false, true, "Big GPU"},
     "(in shot.nk or --set) and this machine has a GPU the node can use (Big GPU)"},
  };
  for (const Case& c : cases) {
    const std::string warning = idleGpuWarning(c.knob, "shot.nk");
    if (std::string(c.warning).empty())
      EXPECT_EQ(warning, "") << c.what;
    else
      EXPECT_NE(warning.find(c.warning), std::string::npos) << c.what << ": " << warning;
  }
}
