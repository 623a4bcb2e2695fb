// The parameter panel against its table, with and without CUDA.
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "NodeFixture.h"
#include "runtime/NodeScript.h"
#include "runtime/PanelJson.h"

using namespace magnifex_test;
using DD::Image::host::KnobInfo;

namespace {

// Compares with the reviewed file of that name under tests/plugin/golden; MAGNIFEX_UPDATE_GOLDEN=1
// writes the file anew instead (then review the difference before committing it).
void expect_golden(const std::string& text, const std::string& name)
{
  const std::string path = std::string(MAGNIFEX_GOLDEN_DIR) + "/" + name;
  if (const char* update = std::getenv("MAGNIFEX_UPDATE_GOLDEN"); update && std::string(update) == "1") {
    std::ofstream(path, std::ios::binary) << text;
    return;
  }
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << "no golden file " << path;
  const std::string golden((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, golden) << "differs from " << path;
}

} // namespace

// Every knob's kind, name, label, default, flags, tooltip and shown text, as the panel of a machine
// without CUDA shows them.
TEST(Panel, WithoutCudaMatchesItsGolden)
{
  auto node = make_node();
  expect_golden(host_runtime::panelJson(*node), "panel-without-cuda.json");

  EXPECT_EQ(knob_info(*node, "gpuName").text, "Not available");
  // The GPU settings are greyed out and GPU processing is off.
  for (const char* name : {"cuda_deviceid", "use_gpu", "gpu_render_override"})
    EXPECT_FALSE(knob_info(*node, name).enabled) << name;
  EXPECT_FALSE(op_of(*node).settings().use_gpu);
  EXPECT_FALSE(op_of(*node).gpu_status().bf16_capable);
  EXPECT_EQ(op_of(*node).gpu_status().gpu_compute_capability, "");
}

// The names and defaults saved scripts rely on, as a fresh node saves them; the golden script
// restores to itself.
TEST(Panel, AFreshNodeSavesTheGoldenScript)
{
  auto node = make_node();
  const std::string script = host_runtime::writeNodeScript(*node);
  expect_golden(script, "defaults.nk");
  auto restored = make_node();
  host_runtime::readNodeScript(*restored, script);
  EXPECT_EQ(host_runtime::writeNodeScript(*restored), script);

  // The state a fresh node starts from.
  const Magnifex& op = op_of(*node);
  EXPECT_EQ(op.frame_state().input_context_count, 1);
  EXPECT_EQ(op.frame_state().frame_to_input, (std::map<int, int>{{0, 0}}));
  EXPECT_EQ(op.frame_state().render_count, 0);
  EXPECT_FALSE(op.networks().still_nets_loaded() || op.networks().sequence_nets_loaded() ||
               op.networks().hybrid_nets_loaded() || op.networks().blend_ready || op.networks().nets_on_device);
  EXPECT_TRUE(op.sequence_memory().empty());
}

TEST(Panel, RebuildingKeepsTheSameKnobsInTheSameOrder)
{
  auto node = make_node();
  node->setKnob("scale", "2x");
  const std::vector<KnobInfo> before = node->knobs();
  node->rebuildKnobs();
  const std::vector<KnobInfo> after = node->knobs();
  ASSERT_EQ(before.size(), after.size());
  for (std::size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(before[i].name, after[i].name);
    EXPECT_EQ(before[i].kind, after[i].kind);
  }
  EXPECT_EQ(node->knobText("scale"), "2x");
}

TEST(Panel, WithASupportedGpu)
{
  auto node = make_node(FakeMachineFacts::with_gpus({{"Big GPU", 86, 12}}, 11080, 8401, "89"));
  expect_golden(host_runtime::panelJson(*node), "panel-with-gpu.json");
  Magnifex& op = op_of(*node);
  EXPECT_EQ(knob_info(*node, "gpuName").text, "Big GPU");
  EXPECT_EQ(knob_info(*node, "gpuMemory").text, "12Gb   Compute capability: sm_86");
  EXPECT_EQ(knob_info(*node, "kernelInfo").text, "Since your current GPU is sm_86, you will rely on native kernels.");
  for (const char* name : {"cuda_deviceid", "use_gpu", "gpu_render_override"})
    EXPECT_TRUE(knob_info(*node, name).enabled) << name;
  EXPECT_TRUE(op.settings().use_gpu);
  EXPECT_TRUE(op.gpu_status().bf16_capable);
  EXPECT_EQ(op.gpu_status().native_compute_capability, "89");

  const std::vector<KnobInfo> knobs = node->knobs();
  auto text_after = [&](const std::string& name, int offset) {
    for (std::size_t i = 0; i < knobs.size(); ++i)
      if (knobs[i].name == name)
        return knobs.at(i + offset).text.value_or("");
    return std::string();
  };
  EXPECT_EQ(text_after("kernelInfo", -2), "This version is built against CUDA 11.8.0 and cuDNN 8.4.1");
  EXPECT_EQ(text_after("kernelInfo", -1), "with native support for GPUs up to compute capability sm_89.");
  EXPECT_EQ(text_after("kernelInfo", 2).rfind("This exact combination of CUDA/cuDNN versions is matching", 0), 0u);
}

TEST(Panel, AnUnsupportedGpuSwitchesGpuProcessingOff)
{
  auto node = make_node(FakeMachineFacts::with_gpus({{"Older GPU", 80, 40}}, 11080, 8401, "89"));
  EXPECT_FALSE(op_of(*node).settings().use_gpu);
  for (const char* name : {"cuda_deviceid", "use_gpu", "gpu_render_override"})
    EXPECT_FALSE(knob_info(*node, name).enabled) << name;
  EXPECT_EQ(knob_info(*node, "gpuMemory").text,
            "40Gb&nbsp;&nbsp;&nbsp;Compute capability: <font color='red'>sm_80</font>");
}

TEST(Panel, NativeCapabilityFallsBackToTheCudaVersion)
{
  // No NVCC line in the build configuration: the CUDA version's native capability is shown.
  auto node = make_node(FakeMachineFacts::with_gpus({{"New GPU", 120, 16}}, 12080, 8902, ""));
  Magnifex& op = op_of(*node);
  EXPECT_EQ(op.gpu_status().native_compute_capability, "120");
  EXPECT_EQ(knob_info(*node, "kernelInfo").text, "Since your current GPU is sm_120, you will rely on native kernels.");
}

TEST(Panel, ScriptRoundTripWritesValuesButNotReadOuts)
{
  auto node = make_node();
  node->setKnob("scale", "2x");
  node->setKnob("mode", "sequence");
  node->setKnob("details", "0.25");
  node->setKnob("debug", "true");
  node->setKnob("first_frame", "1001");
  const std::string script = host_runtime::writeNodeScript(*node);
  EXPECT_EQ(script.find("image_patches"), std::string::npos);
  for (const char* hidden : {"debug ", "debug_patch", "use_bfloat16"})
    EXPECT_NE(script.find(hidden), std::string::npos) << hidden;
  EXPECT_EQ(script.find("gpuName"), std::string::npos);

  auto restored = make_node();
  host_runtime::readNodeScript(*restored, script);
  Magnifex& op = op_of(*restored);
  EXPECT_EQ(op.settings().scale, 0);
  EXPECT_EQ(op.settings().mode, 1);
  EXPECT_FLOAT_EQ(op.settings().details, 0.25f);
  EXPECT_TRUE(op.settings().debug);
  EXPECT_EQ(op.settings().first_frame, 1001);
  EXPECT_EQ(op.settings().last_frame, -999999);
}
