// Still renders through the host runtime: pixels, channels, the debug-patch limit, aborts and failures.
#include <cmath>

#include "NodeFixture.h"
#include "op/ParameterRules.h"
#include "runtime/RenderSession.h"

using namespace magnifex_test;
using namespace DD::Image;
using host_runtime::FrameResult;
using host_runtime::FrameStatus;
using host_runtime::RenderOptions;
using host_runtime::RenderSession;

namespace {

// The log curves written out here on their own, in double precision.
double encode(double x)
{
  return x > 0.010591 ? 0.24719 * std::log10(5.555556 * x + 0.052272) + 0.385537 : 5.367655 * x + 0.092809;
}
double decode(double y)
{
  return y > 0.1496582 ? (std::pow(10.0, (y - 0.385537) / 0.2471896) - 0.052272) / 5.555556 : (y - 0.092809) / 5.367655;
}

// Input pixel values 0.05 .. 0.95 that differ between neighbours and channels.
float source_value(int x, int y, int c)
{
  return 0.05f + 0.9f * float((x * 7 + y * 13 + c * 5) % 17) / 16.0f;
}

const std::vector<Channel> kRgbaZ{Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha, Chan_Z};

std::shared_ptr<host_runtime::MemoryImageSource> pattern_source(int W, int H, std::vector<Channel> channels = kRgbaZ)
{
  Format format(W, H);
  auto source = std::make_shared<host_runtime::MemoryImageSource>(format);
  source->addFrame(1, host_runtime::Image::filled(Box(0, 0, W, H), std::move(channels), source_value));
  return source;
}

// A node whose still network is `forward_source` in place of the tiny pack's.
std::unique_ptr<host_runtime::HostNode> still_node(torch::jit::Module network,
                                                   std::optional<magnifex::CpuBFloat16> cpu = std::nullopt)
{
  magnifex::ScriptedNetworks nets;
  nets.still = std::move(network);
  return make_node(FakeMachineFacts::without_cuda(), std::move(cpu), networks(std::move(nets)));
}
std::unique_ptr<host_runtime::HostNode> still_node(const std::string& forward_source)
{
  return still_node(scripted(forward_source));
}

// Validates and opens with the tiny pack.
void open_with_network(host_runtime::HostNode& node)
{
  ASSERT_TRUE(open_with_tiny_pack(node)) << host::errorText(node.op());
}

// A network with no reach: nearest-neighbour upscale, then a pointwise map of the encoded values.
std::string per_pixel_network(int S)
{
  return "def forward(self, x):\n  return x.repeat_interleave(" + std::to_string(S) + ", 2).repeat_interleave(" +
         std::to_string(S) + ", 3) * 0.5 + 0.25\n";
}

} // namespace

// Every output pixel comes from its own input pixel, upright, in its channel, through the encoding
// and back; alpha and any further channel come back as 1; cutting the frame into patches changes
// nothing.
TEST(StillRender, PixelsChannelsAndPatchesOfAPerPixelNetwork)
{
  const int W = 75, H = 47; // 3 x 2 patches at the smallest max_size
  for (int S : {2, 4}) {
    auto node = still_node(per_pixel_network(S));
    RenderSession session(*node, pattern_source(W, H));
    node->setKnob("scale", S == 2 ? "2x" : "4x");
    open_with_network(*node);

    struct Case {
      ChannelSet channels;
      std::vector<int> source_channel; // per plane component; -1: expect 1.0
    };
    ChannelSet rgbaz(Mask_RGBA);
    rgbaz += Chan_Z;
    for (const Case& c : {Case{Mask_RGB, {0, 1, 2}}, Case{Mask_RGBA, {0, 1, 2, -1}}, Case{rgbaz, {0, 1, 2, -1, -1}},
                          Case{ChannelSet(Chan_Green), {1}}}) {
      node->setKnob("max_size", "500");
      const FrameResult whole = session.renderFrame(1, with_channels(c.channels));
      ASSERT_EQ(whole.status, FrameStatus::Ok) << whole.error;
      const ImagePlane& plane = *whole.plane;
      ASSERT_EQ(plane.bounds(), Box(0, 0, S * W, S * H));
      for (int y = 0; y < S * H; ++y)
        for (int x = 0; x < S * W; ++x)
          for (int z = 0; z < plane.nComps(); ++z) {
            const int from = c.source_channel[std::size_t(z)];
            const double expected = from < 0 ? 1.0 : decode(encode(source_value(x / S, y / S, from)) * 0.5 + 0.25);
            ASSERT_NEAR(plane.at(x, y, z), expected, 2e-6 * std::abs(expected) + 1e-7)
              << "S " << S << " pixel " << x << ", " << y << " component " << z;
          }

      node->setKnob("max_size", std::to_string(magnifex::kMinPatchSize));
      const FrameResult tiled = session.renderFrame(1, with_channels(c.channels));
      ASSERT_EQ(tiled.status, FrameStatus::Ok) << tiled.error;
      const std::size_t n =
        std::size_t(plane.bounds().w()) * std::size_t(plane.bounds().h()) * std::size_t(plane.nComps());
      EXPECT_TRUE(std::equal(plane.readable(), plane.readable() + n, tiled.plane->readable())) << "S " << S;
    }
    // Every render opens again, and the open restarts the count.
    EXPECT_EQ(op_of(*node).frame_state().render_count, 1);
  }
}

TEST(StillRender, BatchStatusLineSaysTheCpuPrecision)
{
  struct Case {
    bool mixed;
    bool native;
    bool network_allows;
    bool opted_in;
    const char* ending;
  };
  const Case cases[] = {
    {false, true, true, true, "' on CPU\n"},
    {true, true, true, true, "' on CPU in BFloat16 (AMX-BF16)\n"},
    {true, true, true, false, "' on CPU in float32 (MAGNIFEX_CPU_BFLOAT16=1 for BFloat16)\n"},
    {true, true, false, true, "' on CPU in float32 (these networks lose precision in BFloat16)\n"},
    {true, false, true, true, "' on CPU in float32 (this CPU has no native BFloat16)\n"},
  };
  for (const Case& c : cases) {
    torch::jit::Module network = scripted(per_pixel_network(4));
    network.register_attribute("cpu_bfloat16", c10::BoolType::get(), c.network_allows);
    auto node = still_node(network, magnifex::CpuBFloat16{c.native, c.native ? "AMX-BF16" : "", c.opted_in});
    RenderSession session(*node, pattern_source(8, 6));
    open_with_network(*node);
    node->setKnob("mixedprecision", c.mixed ? "true" : "false");
    testing::internal::CaptureStdout();
    const FrameResult r = session.renderFrame(1, with_channels(Mask_RGB));
    const std::string log = testing::internal::GetCapturedStdout();
    ASSERT_EQ(r.status, FrameStatus::Ok) << r.error;
    EXPECT_EQ(log, std::string("Magnifex1: Running inference for layer 'rgb") + c.ending);
  }
}

TEST(StillRender, DebugPatchZeroLeavesTheDecodedZero)
{
  auto node = still_node(per_pixel_network(4));
  RenderSession session(*node, pattern_source(20, 10));
  open_with_network(*node);
  node->setKnob("debug", "true");
  node->setKnob("debug_patch", "0");
  testing::internal::CaptureStdout();
  const FrameResult r = session.renderFrame(1, with_channels(Mask_RGBA));
  const std::string log = testing::internal::GetCapturedStdout();
  ASSERT_EQ(r.status, FrameStatus::Ok) << r.error;
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 80; ++x) {
      for (int z = 0; z < 3; ++z)
        ASSERT_NEAR(r.plane->at(x, y, z), -0.0172904f, 1e-7f);
      ASSERT_EQ(r.plane->at(x, y, 3), 1.0f);
    }
  for (const char* line :
       {"Still mode\n", "Inference runs: 1 (1 x 1)\n", "Processing image patch: 0, with pixel coordinates:\n",
        "Final result tensor_image_comp sizes: [1, 4, 40, 80]\n", "    RenderStripe total time: "})
    EXPECT_NE(log.find(line), std::string::npos) << line;
  EXPECT_EQ(log.find("tensor_image_chunk sizes"), std::string::npos);
}

TEST(StillRender, AbortLeavesThePlaneUnwritten)
{
  auto node = still_node(per_pixel_network(4));
  RenderSession session(*node, pattern_source(40, 30));
  open_with_network(*node);
  node->setKnob("max_size", std::to_string(magnifex::kMinPatchSize));
  session.setProgressCallback([&](double, double fraction) {
    if (fraction > 0.0)
      session.requestAbort();
  });
  const FrameResult r = session.renderFrame(1);
  EXPECT_EQ(r.status, FrameStatus::Aborted);
  EXPECT_TRUE(plane_is_zero(*r.plane));
  EXPECT_EQ(op_of(*node).frame_state().render_count, 0);
}

TEST(StillRender, FailuresNameTheirStageAndWriteNothing)
{
  struct Case {
    std::string network; // empty: the per-pixel one
    std::vector<std::pair<std::string, std::string>> knobs;
    ChannelSet channels;
    std::string error;
  };
  const Case cases[] = {
    {"def forward(self, x):\n  assert x.size(0) == 0, 'CUDA out of memory. Tried to allocate 9.00 GiB'\n  return x\n",
     {},
     Mask_RGB,
     "Error during image patch processing (out of GPU memory)"},
    {"def forward(self, x):\n  return x\n", {}, Mask_RGB, "Error during image patch processing"},
    {"", {}, ChannelSet(Chan_Z), "Nothing to render: the input has none of the channels the output asks for"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    auto node = still_node(c.network.empty() ? per_pixel_network(4) : c.network);
    RenderSession session(*node, pattern_source(40, 30, {Chan_Red, Chan_Green, Chan_Blue}));
    open_with_network(*node);
    for (const auto& [name, value] : c.knobs)
      node->setKnob(name, value);
    testing::internal::CaptureStdout();
    const FrameResult r = session.renderFrame(1, with_channels(c.channels));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.status, FrameStatus::Failed);
    EXPECT_EQ(r.error, "Magnifex1: " + c.error);
    ASSERT_TRUE(r.plane);
    EXPECT_TRUE(plane_is_zero(*r.plane));
    EXPECT_EQ(op_of(*node).frame_state().render_count, 0);
  }
}
