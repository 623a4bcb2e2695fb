// How the panel and the node's state react to parameter changes.
#include "NodeFixture.h"
#include "op/FormatRules.h"
#include "runtime/RenderSession.h"

using namespace magnifex_test;
using host_runtime::RenderSession;

namespace {

// Opens with the tiny pack: the still group loaded, blended and placed.
void open_networks(host_runtime::HostNode& node)
{
  ASSERT_TRUE(open_with_tiny_pack(node)) << DD::Image::host::errorText(node.op());
  const magnifex::NetworkSet& networks = op_of(node).networks();
  ASSERT_TRUE(networks.still_nets_loaded() && networks.ready());
}

// The input's format is read as the input holds it: validated, as it is once the graph has run.
host_runtime::RenderOptions validated()
{
  host_runtime::RenderOptions o;
  o.validateOnly = true;
  return o;
}

bool any_network_flag(const Magnifex& op)
{
  const magnifex::NetworkSet& n = op.networks();
  return n.still_nets_loaded() || n.sequence_nets_loaded() || n.hybrid_nets_loaded() || n.blend_ready ||
         n.nets_on_device;
}

} // namespace

// Every knob the read-out depends on refreshes it (the counts themselves are the rule's, tested
// with the rule); each step changes the text, so a missed refresh shows.
TEST(PanelRefresh, PatchCountFollowsInputAndSettings)
{
  auto node = make_node();
  RenderSession session(*node, plate(1920, 1080));
  session.validateFrame(1, validated());
  node->openPanel();
  struct Step {
    const char* knob;
    const char* value;
    int max_size, overlap;
    bool multisample, still;
  };
  std::string before = knob_info(*node, "image_patches").text.value_or("");
  EXPECT_EQ(before, magnifex::patch_count_text(1920, 1080, 500, 32, false, true));
  for (const Step& step :
       {Step{"multisample", "true", 500, 32, true, true}, Step{"mode", "sequence", 500, 32, true, false},
        Step{"mode", "still", 500, 32, true, true}, Step{"max_size", "1000", 1000, 32, true, true},
        Step{"overlap", "300", 1000, 300, true, true}}) {
    node->setKnob(step.knob, step.value);
    const std::string text = knob_info(*node, "image_patches").text.value_or("");
    EXPECT_EQ(text, magnifex::patch_count_text(1920, 1080, step.max_size, step.overlap, step.multisample, step.still))
      << step.knob;
    EXPECT_NE(text, before) << step.knob;
    before = text;
  }
}

TEST(PanelRefresh, ModeEnablesItsOwnSettings)
{
  auto node = make_node();
  node->openPanel();
  const std::vector<std::string> sequence_knobs = {"type",  "first_frame", "last_frame",
                                                   "reset", "preroll",     "debugoutput"};
  EXPECT_TRUE(knob_info(*node, "multisample").enabled);
  for (const auto& name : sequence_knobs)
    EXPECT_FALSE(knob_info(*node, name).enabled) << name;

  node->setKnob("mode", "sequence");
  EXPECT_FALSE(knob_info(*node, "multisample").enabled);
  for (const auto& name : sequence_knobs)
    EXPECT_TRUE(knob_info(*node, name).enabled) << name;

  node->setKnob("mode", "still");
  EXPECT_TRUE(knob_info(*node, "multisample").enabled);
  EXPECT_FALSE(knob_info(*node, "preroll").enabled);
}

TEST(PanelRefresh, FrameRangeFilledOnlyWhenUnset)
{
  auto node = make_node();
  RenderSession session(*node, plate(64, 48, 1001, 1100));
  session.connectInputsAt(1001);
  node->openPanel();
  EXPECT_EQ(op_of(*node).settings().first_frame, 1001);
  EXPECT_EQ(op_of(*node).settings().last_frame, 1100);
  EXPECT_EQ(op_of(*node).frame_state().input_last_frame, 1100);

  node->setKnob("first_frame", "1010");
  node->openPanel();
  EXPECT_EQ(op_of(*node).settings().first_frame, 1010);

  node->pressButton("reset");
  EXPECT_EQ(op_of(*node).settings().first_frame, 1001);
  EXPECT_EQ(op_of(*node).settings().last_frame, 1100);
}

TEST(PanelRefresh, WithoutInputNothingIsFilled)
{
  auto node = make_node();
  node->openPanel();
  node->pressButton("reset");
  EXPECT_EQ(op_of(*node).settings().first_frame, -999999);
  EXPECT_EQ(knob_info(*node, "image_patches").text, "Image patches: -");
}

TEST(NetworkFlags, ScaleTypeAndModeInvalidateTheNetworks)
{
  auto node = make_node();
  const Magnifex& op = op_of(*node);
  for (const auto& [knob, value] :
       std::vector<std::pair<std::string, std::string>>{{"scale", "2x"}, {"type", "CG [RGBA]"}, {"mode", "sequence"}}) {
    node->setKnob("mode", "still");
    open_networks(*node);
    node->setKnob(knob, value);
    EXPECT_FALSE(any_network_flag(op)) << knob;
  }
}

TEST(NetworkFlags, UseGpuOnlyMovesTheNetworks)
{
  auto node = make_node(FakeMachineFacts::with_gpus({{"GPU", 86, 12}}));
  const Magnifex& op = op_of(*node);
  node->setKnob("use_gpu", "false");
  EXPECT_FALSE(knob_info(*node, "gpu_render_override").enabled);
  EXPECT_FALSE(knob_info(*node, "mixedprecision").enabled);
  open_networks(*node); // on the CPU: the faked GPU cannot take them
  node->setKnob("use_gpu", "true");
  EXPECT_FALSE(op.networks().nets_on_device);
  EXPECT_TRUE(op.networks().still_nets_loaded() && op.networks().blend_ready);
  EXPECT_TRUE(knob_info(*node, "gpu_render_override").enabled);
  EXPECT_TRUE(knob_info(*node, "mixedprecision").enabled);
}

TEST(NetworkFlags, OtherChangesLeaveThemAlone)
{
  auto node = make_node();
  const Magnifex& op = op_of(*node);
  open_networks(*node);
  node->setKnobs({{"max_size", "300"},
                  {"overlap", "16"},
                  {"multisample", "true"},
                  {"details", "0.2"},
                  {"cuda_deviceid", "1"},
                  {"gpu_render_override", "false"},
                  {"preroll", "3"}});
  node->openPanel();
  EXPECT_TRUE(op.networks().still_nets_loaded() && op.networks().ready());
}

TEST(GpuReadouts, DeviceChangeProbesTheChosenGpu)
{
  auto node = make_node(FakeMachineFacts::with_gpus({{"First", 86, 12}, {"Second", 80, 40}}, 11080, 8401, "89"));
  Magnifex& op = op_of(*node);
  node->setKnob("cuda_deviceid", "1");
  EXPECT_EQ(knob_info(*node, "gpuName").text, "Second");
  EXPECT_EQ(op.gpu_status().gpu_compute_capability, "80");
  EXPECT_FALSE(op.settings().use_gpu); // 8.0 is not supported under CUDA 11.8
  EXPECT_EQ(knob_info(*node, "gpuMemory").text,
            "40Gb&nbsp;&nbsp;&nbsp;Compute capability: <font color='red'>sm_80</font>");
  EXPECT_EQ(knob_info(*node, "kernelInfo").text, "Since your current GPU is sm_80, you will rely on native kernels.");
  // The reaction does not grey anything out; the panel build does.
  EXPECT_TRUE(knob_info(*node, "cuda_deviceid").enabled);

  node->setKnob("cuda_deviceid", "0");
  EXPECT_EQ(knob_info(*node, "gpuName").text, "First");
  EXPECT_FALSE(op.settings().use_gpu); // switched back on only by the user
}

TEST(GpuReadouts, IndexPastTheLastDeviceFallsBackToTheHighest)
{
  auto node = make_node(FakeMachineFacts::with_gpus({{"First", 86, 12}, {"Second", 89, 24}}));
  node->setKnob("debug", "true");
  testing::internal::CaptureStdout();
  node->setKnob("cuda_deviceid", "7");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(knob_info(*node, "gpuName").text, "Second");
  EXPECT_NE(out.find("Invalid CUDA device ID, falling back to cuda:1\n"), std::string::npos);
  EXPECT_EQ(op_of(*node).choose_device(false), c10::Device(c10::DeviceType::CUDA, 1));
}
