// The plug-in file as the host sees it: loaded by path, its node built by class name.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

#include "DDImage/PlanarIop.h"
#include "DDImageHost/Process.h"
#include "commands/CommandLine.h"
#include "commands/RenderCommand.h"
#include "runtime/HostError.h"
#include "runtime/HostNode.h"
#include "runtime/MemoryImageSource.h"
#include "runtime/PluginLibrary.h"
#include "runtime/PluginRenderedChannels.h"
#include "runtime/PluginTraceFields.h"
#include "runtime/RenderSession.h"
#include "runtime/TraceWriter.h"

using Value = nlohmann::json;

namespace {

const std::string kPluginDir = std::string(MAGNIFEX_PLUGINS_DIR) + "/tiny";

const host_runtime::PluginLibrary& plugin()
{
  static const host_runtime::PluginLibrary library = host_runtime::PluginLibrary::load(kPluginDir + "/Magnifex.so");
  return library;
}

struct CommandRun {
  int code;
  std::string out, err;
};

CommandRun run_magnifex_render(std::vector<std::string> args)
{
  args.insert(args.begin(), {"--plugin-dir", kPluginDir});
  std::ostringstream out, err;
  CommandRun run;
  run.code = render_command::runRenderCommand(render_command::parseCommandLine(args), "magnifex-render", out, err);
  run.out = out.str();
  run.err = err.str();
  return run;
}

} // namespace

TEST(PluginFile, RegistersTheNodeClassUnderItsMenu)
{
  plugin();
  const DD::Image::Op::Description* d = DD::Image::Op::Description::find("Magnifex");
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d->menu, "Brightwork/Magnifex");

  auto node = host_runtime::HostNode::create("Magnifex");
  EXPECT_STREQ(node->op().Class(), "Magnifex");
  EXPECT_STREQ(node->op().node_help(), "Magnifex upscale plugin");
  EXPECT_EQ(node->op().minimum_inputs(), 1);
  EXPECT_EQ(node->op().maximum_inputs(), 1);
  EXPECT_FLOAT_EQ(node->op().uses_input(0), 1.0f);
  auto& planar = dynamic_cast<DD::Image::PlanarIop&>(node->op());
  EXPECT_FALSE(planar.useStripes());
  EXPECT_TRUE(planar.renderFullPlanes());
  EXPECT_EQ(planar.packedPreference(), DD::Image::PlanarI::ePackedPreferencePacked);
}

TEST(PluginFile, AFailedAllocationGivesTheHostNoNode)
{
  plugin();
  DD::Image::host::failNextAllocations(1);
  EXPECT_THROW(host_runtime::HostNode::create("Magnifex"), host_runtime::HostError);
  DD::Image::host::failNextAllocations(0);
  EXPECT_NO_THROW(host_runtime::HostNode::create("Magnifex"));
}

// The panel as this machine's GPU facts make it: without CUDA the four GPU-only read-outs are absent
// and the GPU settings are greyed out.
TEST(PluginFile, PanelAsJsonWithThisMachinesGpu)
{
  const CommandRun run = run_magnifex_render({"--knobs-json"});
  ASSERT_EQ(run.code, 0) << run.err;
  const Value panel = nlohmann::json::parse(run.out);
  auto knob = [&panel](const std::string& name) -> const Value& {
    for (const Value& k : panel)
      if (k.at("name") == name)
        return k;
    ADD_FAILURE() << "no knob " << name;
    return panel.front();
  };
  EXPECT_EQ(panel[1].at("name").get<std::string>(), "gpuName");
  const bool cuda = panel[1].at("text").get<std::string>() != "Not available";
  EXPECT_EQ(panel.size(), cuda ? 48u : 44u);
  if (!cuda)
    EXPECT_FALSE(knob("cuda_deviceid").at("enabled").get<bool>());
  EXPECT_EQ(knob("scale").at("value_label").get<std::string>(), "4x");
  EXPECT_EQ(panel.back().at("text").get<std::string>(), "Magnifex v4.1.0");
}

TEST(PluginFile, BadParametersAreUsageErrors)
{
  CommandRun run = run_magnifex_render({"--set", "sharpness=2", "--knobs-json"});
  EXPECT_EQ(run.code, render_command::kExitUsage);
  EXPECT_NE(run.err.find("sharpness"), std::string::npos) << run.err;

  run = run_magnifex_render({"--set", "scale=3x", "--knobs-json"});
  EXPECT_EQ(run.code, render_command::kExitUsage);
  EXPECT_NE(run.err.find("scale"), std::string::npos) << run.err;
}

TEST(PluginFile, DestroyingTheNodeWritesItsDebugLines)
{
  testing::internal::CaptureStdout();
  const CommandRun run = run_magnifex_render({"--set", "debug=true", "--set", "scale=2x"});
  const std::string stdout_text = testing::internal::GetCapturedStdout();
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(stdout_text.find("Running destructor\nReleased GPU memory\n"), std::string::npos) << stdout_text;
}

// Red, green and blue always; alpha in sequence mode for material with alpha (CG, hybrid).
TEST(PluginFile, TellsTheHostWhichChannelsItsNodeRenders)
{
  plugin();
  struct Case {
    const char* mode;
    const char* type;
    bool alpha;
  };
  const std::vector<Case> cases{
    {"still", "Plates (Alexa) [RGB]", false},       {"still", "CG [RGBA]", false},
    {"sequence", "Plates (Alexa) [RGB]", false},    {"sequence", "CG [RGBA]", true},
    {"sequence", "Hybrid (Alexa+CG) [RGBA]", true},
  };
  auto node = host_runtime::HostNode::create("Magnifex");
  for (const Case& c : cases) {
    node->setKnobs({{"mode", c.mode}, {"type", c.type}});
    DD::Image::ChannelSet expected(DD::Image::Mask_RGB);
    if (c.alpha)
      expected += DD::Image::Chan_Alpha;
    EXPECT_EQ(host_runtime::pluginRenderedChannels(plugin(), node->op()), expected) << c.mode << ", " << c.type;
  }
}

TEST(PluginFile, TraceShowsTheContextsInUse)
{
  plugin();
  std::ostringstream text;
  {
    host_runtime::TraceWriter trace(text);
    auto node = host_runtime::HostNode::create("Magnifex");
    trace.setExtraFields(host_runtime::pluginTraceFields(plugin(), node->op()));
    node->setKnobs({{"mode", "sequence"}, {"type", "CG [RGBA]"}, {"first_frame", "1"}});
    DD::Image::Format format(32, 24);
    auto source = std::make_shared<host_runtime::MemoryImageSource>(format);
    for (int f = 1; f <= 10; ++f)
      source->addFrame(f, host_runtime::Image::filled(
                            DD::Image::Box(0, 0, 32, 24),
                            {DD::Image::Chan_Red, DD::Image::Chan_Green, DD::Image::Chan_Blue, DD::Image::Chan_Alpha},
                            [](int, int, int) { return 0.25f; }));
    host_runtime::RenderSession session(*node, source);
    host_runtime::RenderOptions options;
    options.validateOnly = true;
    session.validateFrame(3, options);
  }
  bool seen = false;
  std::istringstream lines(text.str());
  for (std::string line; std::getline(lines, line);) {
    const Value v = nlohmann::json::parse(line);
    if (v.at("event").get<std::string>() != "validate" || v.at("class").get<std::string>() != "Magnifex")
      continue;
    seen = true;
    EXPECT_EQ(v.at("extra").at("use_alpha").get<double>(), 1);
    EXPECT_EQ(v.at("extra").at("input_context_count").get<double>(), 4);
  }
  EXPECT_TRUE(seen) << text.str();
}
