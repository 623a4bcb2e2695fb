// The parameter panel against its table, with and without CUDA.
#include <optional>
#include <string>
#include <vector>

#include "NodeFixture.h"
#include "runtime/NodeScript.h"

using namespace magnifex_test;
using DD::Image::Knob;
using DD::Image::host::KnobInfo;
using DD::Image::host::KnobKind;

namespace {

struct Row {
  KnobKind kind;
  std::optional<std::string> name;
  std::optional<std::string> label;
  Knob::FlagMask flags;
  std::optional<std::string> text; // text knobs
  std::optional<double> value;     // value knobs
  std::vector<std::string> entries;
  std::string tooltip_start; // "" when the knob has none
};

const auto none = std::nullopt;
const Knob::FlagMask START = Knob::STARTLINE, EARLY = Knob::EARLY_STORE;

std::vector<Row> expected_panel(bool cuda, bool kernel_info)
{
  std::vector<Row> rows = {
    {KnobKind::Text, none, "Local GPU: ", 0, "", none, {}, ""},
    {KnobKind::Text, "gpuName", "", 0, none, none, {}, ""},
    {KnobKind::Text, none, " ", 0, "", none, {}, ""},
  };
  if (cuda) {
    rows.push_back({KnobKind::Text, none, "GPU memory: ", 0, "", none, {}, ""});
    rows.push_back({KnobKind::Text, "gpuMemory", "", 0, none, none, {}, ""});
    rows.push_back({KnobKind::Text, none, " ", 0, "", none, {}, ""});
  }
  const std::vector<Row> middle = {
    {KnobKind::GroupBegin, "GPU settings", none, 0, none, none, {}, ""},
    {KnobKind::Int, "cuda_deviceid", "CUDA device ID", 0, none, 0, {}, "This sets what CUDA device"},
    {KnobKind::Bool, "use_gpu", "Use GPU if available", 0, none, none, {}, "When this is on, the processing"},
    {KnobKind::Bool,
     "gpu_render_override",
     "Use --gpu device override",
     START,
     none,
     1,
     {},
     "When this is on, the node will look at the Nuke command line --gpu"},
    {KnobKind::GroupEnd, none, none, 0, none, none, {}, ""},
    {KnobKind::Divider, none, none, 0, none, none, {}, ""},
    {KnobKind::Text, "image_patches", "", Knob::DO_NOT_WRITE, "Image patches: -", none, {}, ""},
    {KnobKind::Divider, none, none, 0, none, none, {}, ""},
    {KnobKind::Enumeration, "mode", none, EARLY, none, 0, {"still", "sequence"}, "Specify the processing mode"},
    {KnobKind::Enumeration,
     "scale",
     none,
     EARLY,
     none,
     1,
     {"2x", "4x"},
     "Specify the scaling multiplier. You can choose between 2x and 4x."},
    {KnobKind::Float, "details", "details", START, none, 0.9f, {}, "details blends between two different"},
    {KnobKind::Int, "max_size", "max size", 0, none, 500, {}, "max size sets the maximum length"},
    {KnobKind::Text, none, none, 0, "px", none, {}, ""},
    {KnobKind::Int, "overlap", "overlap", 0, none, 32, {}, "overlap sets the amount of overlap"},
    {KnobKind::Text, none, none, 0, "px", none, {}, ""},
    {KnobKind::Int, "padding", "padding", 0, none, 8, {}, "padding reduces the cross fading area"},
    {KnobKind::Text, none, none, 0, "px", none, {}, ""},
    {KnobKind::Bool, "mixedprecision", "mixed precision", START, none, 1, {}, "When mixed precision is on"},
    {KnobKind::Bool, "use_bfloat16", "use BFloat16", Knob::HIDDEN, none, 1, {}, "When activated, the mixed"},
    {KnobKind::Bool, "debug", "debug info", 0x41000, none, 0, {}, "When activated, prints a lot of verbose"},
    {KnobKind::Int, "debug_patch", "debug patch", 0x41000, none, -1, {}, "When debug is on, this knob"},
    {KnobKind::Divider, none, none, 0, none, none, {}, ""},
    {KnobKind::GroupBegin, "Still settings", none, 0, none, none, {}, ""},
    {KnobKind::Bool, "multisample", "multisample", START, none, 0, {}, "When multisample is on, each image"},
    {KnobKind::GroupEnd, none, none, 0, none, none, {}, ""},
    {KnobKind::GroupBegin, "Sequence settings", none, 0, none, none, {}, ""},
    {KnobKind::Enumeration,
     "type",
     none,
     0,
     none,
     0,
     {"Plates (Alexa) [RGB]", "CG [RGBA]", "Hybrid (Alexa+CG) [RGBA]"},
     "Specify the type of material"},
    {KnobKind::Int, "first_frame", "frame range", EARLY, none, -999999, {}, "Specifies the first frame"},
    {KnobKind::Int, "last_frame", "", EARLY, none, -999999, {}, "Specifies the last frame"},
    {KnobKind::Button, "reset", "reset", 0, none, none, {}, "Try to set the frame range knobs"},
    {KnobKind::Int, "preroll", "preroll", EARLY, none, 5, {}, "Specifies the number of frames before"},
    {KnobKind::Bool, "debugoutput", "show preroll result", 0, none, 0, {}, ""},
    {KnobKind::GroupEnd, none, none, 0, none, none, {}, ""},
    {KnobKind::Tab, none, "About", 0, none, none, {}, ""},
    {KnobKind::Divider, none, none, 0, none, none, {}, ""},
    {KnobKind::Text, none, none, START, none, none, {}, ""}, // CUDA / cuDNN versions
    {KnobKind::Text, none, none, START, none, none, {}, ""}, // native support
  };
  rows.insert(rows.end(), middle.begin(), middle.end());
  if (kernel_info)
    rows.push_back({KnobKind::Text, "kernelInfo", "", START, none, none, {}, ""});
  const std::vector<Row> tail = {
    {KnobKind::Text, none, none, START, " ", none, {}, ""},
    {KnobKind::Text, none, none, START, none, none, {}, ""}, // compatibility note
    {KnobKind::Divider, none, none, 0, none, none, {}, ""},
    {KnobKind::Text, none, none, START, "Magnifex v4.1.0", none, {}, ""},
  };
  rows.insert(rows.end(), tail.begin(), tail.end());
  return rows;
}

// STARTLINE is the host's default for most knobs; only what the panel sets or clears is compared.
void expect_panel(const std::vector<KnobInfo>& knobs, const std::vector<Row>& rows)
{
  ASSERT_EQ(knobs.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const KnobInfo& k = knobs[i];
    const Row& r = rows[i];
    SCOPED_TRACE("knob " + std::to_string(i + 1) + " " + r.name.value_or("(unnamed)"));
    EXPECT_EQ(k.kind, r.kind);
    EXPECT_EQ(k.name, r.name);
    EXPECT_EQ(k.label, r.label);
    for (Knob::FlagMask f : {Knob::DO_NOT_WRITE, Knob::HIDDEN, Knob::EARLY_STORE})
      EXPECT_EQ(k.flags & f, r.flags & f);
    if (r.flags & Knob::STARTLINE)
      EXPECT_TRUE(k.flags & Knob::STARTLINE);
    if (r.text)
      EXPECT_EQ(k.text, r.text);
    if (r.value)
      EXPECT_FLOAT_EQ(k.value, *r.value);
    EXPECT_EQ(k.entries, r.entries);
    if (r.tooltip_start.empty())
      EXPECT_EQ(k.tooltip, "");
    else
      EXPECT_EQ(k.tooltip.rfind(r.tooltip_start, 0), 0u) << k.tooltip;
  }
}

} // namespace

TEST(Panel, WithoutCudaMatchesTheTable)
{
  auto node = make_node();
  expect_panel(node->knobs(), expected_panel(false, false));

  EXPECT_EQ(knob_info(*node, "gpuName").text, "Not available");
  // The GPU settings are greyed out and GPU processing is off.
  for (const char* name : {"cuda_deviceid", "use_gpu", "gpu_render_override"})
    EXPECT_FALSE(knob_info(*node, name).enabled) << name;
  EXPECT_FALSE(op_of(*node).settings().use_gpu);
  EXPECT_FALSE(op_of(*node).bf16_capable);
  EXPECT_EQ(op_of(*node).gpu_compute_capability, "");
}

TEST(Panel, StillAndSequenceKnobsAreUnsetOnAFreshNode)
{
  auto node = make_node();
  Magnifex& op = op_of(*node);
  EXPECT_EQ(op.settings().mode, 0);
  EXPECT_EQ(op.settings().scale, 1);
  EXPECT_EQ(op.settings().max_size, 500);
  EXPECT_EQ(op.settings().overlap, 32);
  EXPECT_EQ(op.settings().padding, 8);
  EXPECT_FLOAT_EQ(op.settings().details, 0.9f);
  EXPECT_EQ(op.settings().preroll, 5);
  EXPECT_EQ(op.settings().first_frame, -999999);
  EXPECT_EQ(op.settings().last_frame, -999999);
  EXPECT_TRUE(op.settings().gpu_render_override && op.settings().mixedprecision && op.settings().use_bfloat16);
  EXPECT_FALSE(op.settings().debug);
  EXPECT_EQ(op.settings().debug_patch, -1);
  EXPECT_EQ(op.input_context_count, 1);
  EXPECT_EQ(op.frame_to_input, (std::map<int, int>{{0, 0}}));
  EXPECT_EQ(op.render_count, 0);
  EXPECT_FALSE(op.networks().still_nets_loaded() || op.networks().sequence_nets_loaded() ||
               op.networks().hybrid_nets_loaded() || op.networks().blend_ready || op.networks().nets_on_device);
  EXPECT_TRUE(op.settings().unpremultiply && op.settings().clamp_colour);
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
  auto node = make_node(FakeGpuFacts::with_gpus({{"Big GPU", 86, 12}}, 11080, 8401, "89"));
  expect_panel(node->knobs(), expected_panel(true, true));
  Magnifex& op = op_of(*node);
  EXPECT_EQ(knob_info(*node, "gpuName").text, "Big GPU");
  EXPECT_EQ(knob_info(*node, "gpuMemory").text, "12Gb   Compute capability: sm_86");
  EXPECT_EQ(knob_info(*node, "kernelInfo").text, "Since your current GPU is sm_86, you will rely on native kernels.");
  for (const char* name : {"cuda_deviceid", "use_gpu", "gpu_render_override"})
    EXPECT_TRUE(knob_info(*node, name).enabled) << name;
  EXPECT_TRUE(op.settings().use_gpu);
  EXPECT_TRUE(op.bf16_capable);
  EXPECT_EQ(op.native_compute_capability, "89");

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
  auto node = make_node(FakeGpuFacts::with_gpus({{"Older GPU", 80, 40}}, 11080, 8401, "89"));
  EXPECT_FALSE(op_of(*node).settings().use_gpu);
  for (const char* name : {"cuda_deviceid", "use_gpu", "gpu_render_override"})
    EXPECT_FALSE(knob_info(*node, name).enabled) << name;
  EXPECT_EQ(knob_info(*node, "gpuMemory").text,
            "40Gb&nbsp;&nbsp;&nbsp;Compute capability: <font color='red'>sm_80</font>");
}

TEST(Panel, NativeCapabilityFallsBackToTheCudaVersion)
{
  // No NVCC line in the build configuration: the CUDA version's native capability is shown.
  auto node = make_node(FakeGpuFacts::with_gpus({{"New GPU", 120, 16}}, 12080, 8902, ""));
  Magnifex& op = op_of(*node);
  EXPECT_EQ(op.native_compute_capability, "120");
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
