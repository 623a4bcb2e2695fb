// Sequence renders through the host runtime: state between frames, preroll, material types, guards.
#include <cmath>

#include <ATen/TensorOperators.h>
#include <ATen/ops/allclose.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/equal.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/upsample_bicubic2d.h>

#include "NodeFixture.h"
#include "render/LogEncoding.h"
#include "runtime/RenderSession.h"

using namespace magnifex_test;
using namespace DD::Image;
using host_runtime::FrameResult;
using host_runtime::FrameStatus;
using host_runtime::RenderOptions;
using host_runtime::RenderSession;

namespace {

// Values 0.05 .. 0.95 that move one pixel right per frame; alpha (index 3) stays within 0.3 .. 1.
float moving_value(int frame, int x, int y, int c)
{
  const float v = 0.05f + 0.9f * float(((x - frame) * 7 + y * 13 + c * 5 + 1700) % 17) / 16.0f;
  return c == 3 ? 0.3f + 0.7f * v : v;
}

std::shared_ptr<host_runtime::MemoryImageSource> moving_source(int W, int H, int first, int last,
                                                               std::vector<Channel> channels)
{
  auto source = std::make_shared<host_runtime::MemoryImageSource>(Format(W, H));
  for (int f = first; f <= last; ++f)
    source->addFrame(f, host_runtime::Image::filled(Box(0, 0, W, H), channels,
                                                    [f](int x, int y, int c) { return moving_value(f, x, y, c); }));
  return source;
}

// Channel c of frame f as a [1, 1, H, W] tensor, host rows.
at::Tensor frame_channel(int f, int c, int W, int H)
{
  std::vector<float> v;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      v.push_back(moving_value(f, x, y, c));
  return at::from_blob(v.data(), {1, 1, H, W}, at::kFloat).clone();
}

at::Tensor bicubic(const at::Tensor& t, int s)
{
  return at::upsample_bicubic2d(t, {t.size(2) * s, t.size(3) * s}, false, std::nullopt, std::nullopt);
}

const std::string kZeroFlow = "def forward(self, a, b, iters):\n  return torch.zeros([a.size(0), 2, a.size(2), "
                              "a.size(3)], dtype=a.dtype, device=a.device)\n";

// The sequence networks of the reference pack: the bicubic upscale of the current patch.
std::string bicubic_network(int s)
{
  const std::string S = std::to_string(s);
  return "def forward(self, lr, hr):\n  return torch.upsample_bicubic2d(lr, [lr.size(2) * " + S + ", lr.size(3) * " +
         S + "], False, None, None)\n";
}

struct SequenceNode {
  std::unique_ptr<host_runtime::HostNode> node;
  std::unique_ptr<RenderSession> session;
};

// Zero flow and bicubic sequence networks at that scale.
std::shared_ptr<const magnifex::ScriptedNetworks> bicubic_networks(int s)
{
  magnifex::ScriptedNetworks nets;
  nets.flow = scripted(kZeroFlow);
  nets.sequence = nets.sequence_rgb = scripted(bicubic_network(s));
  return networks(std::move(nets));
}

// A sequence node over frames first..last with the given knobs, opened with the tiny pack; `nets`
// stand in for its networks (none: the pack's own), zero flow and bicubic ones unless given.
SequenceNode sequence_node(int W, int H, int first, int last, std::vector<Channel> channels,
                           std::vector<std::pair<std::string, std::string>> knobs,
                           std::optional<std::shared_ptr<const magnifex::ScriptedNetworks>> nets = std::nullopt)
{
  SequenceNode n;
  const bool two_x = std::count(knobs.begin(), knobs.end(), std::pair<std::string, std::string>{"scale", "2x"}) > 0;
  n.node = make_node(FakeMachineFacts::without_cuda(), std::nullopt, nets ? *nets : bicubic_networks(two_x ? 2 : 4));
  n.session = std::make_unique<RenderSession>(*n.node, moving_source(W, H, first, last, std::move(channels)));
  n.session->connectInputsAt(first);
  knobs.insert(knobs.begin(), {"mode", "sequence"});
  n.node->setKnobs(knobs);
  EXPECT_TRUE(open_with_tiny_pack(*n.node)) << host::errorText(n.node->op());
  return n;
}

// Component z of a rendered plane as [1, 1, h, w], host rows.
at::Tensor component(const ImagePlane& plane, int z)
{
  const Box& b = plane.bounds();
  const at::Tensor packed =
    at::from_blob(const_cast<float*>(plane.readable()), {1, b.h(), b.w(), plane.nComps()}, at::kFloat);
  return packed.select(3, z).unsqueeze(1).clone();
}

int count_of(const std::string& text, const std::string& what)
{
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

} // namespace

// With zero flow and bicubic networks each frame is its own bicubic upscale in the log encoding,
// decoded; with "show preroll result" it is the previous frame's, warped by a zero flow.
TEST(SequenceRender, PlatesAreTheBicubicUpscaleOfEachFrame)
{
  // Patches overlap enough that the bicubic filter's reach at their edges lies in the faded-out band.
  const int W = 47, H = 41;
  for (int s : {2, 4})
    for (bool debugoutput : {false, true}) {
      SCOPED_TRACE(testing::Message() << s << "x, show preroll result " << debugoutput);
      SequenceNode n = sequence_node(W, H, 1, 4, {Chan_Red, Chan_Green, Chan_Blue},
                                     {{"scale", s == 2 ? "2x" : "4x"},
                                      {"max_size", "32"},
                                      {"preroll", "2"},
                                      {"debugoutput", debugoutput ? "true" : "false"}});
      for (int f = 1; f <= 4; ++f) {
        const FrameResult r = n.session->renderFrame(f);
        ASSERT_EQ(r.status, FrameStatus::Ok) << r.error;
        // The first frame's preroll ran frames 3, 2 before it; its previous frame was 2.
        const int shown = !debugoutput ? f : f == 1 ? 2 : f - 1;
        for (int c = 0; c < 3; ++c) {
          const at::Tensor expected =
            magnifex::logDecode(bicubic(magnifex::logEncode(frame_channel(shown, c, W, H)), s));
          EXPECT_TRUE(at::allclose(component(*r.plane, c), expected, 1e-5, 1e-6)) << "frame " << f << " channel " << c;
        }
      }
    }
}

// CG: colour from the colour-only path (premultiplied linear colour), alpha from the main path.
TEST(SequenceRender, CgColourAndAlpha)
{
  const int W = 47, H = 20, s = 2;
  SequenceNode n = sequence_node(W, H, 1, 2, {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha},
                                 {{"scale", "2x"}, {"max_size", "32"}, {"type", "CG [RGBA]"}, {"preroll", "1"}});
  const FrameResult r = n.session->renderFrame(2, with_channels(Mask_RGBA));
  ASSERT_EQ(r.status, FrameStatus::Ok) << r.error;
  const at::Tensor alpha = frame_channel(2, 3, W, H);
  EXPECT_TRUE(at::allclose(component(*r.plane, 3), bicubic(alpha, s).clamp(0.0, 1.0), 1e-5, 1e-6));
  for (int c = 0; c < 3; ++c) {
    const at::Tensor premultiplied = frame_channel(2, c, W, H);
    const at::Tensor expected = magnifex::logDecode(bicubic(magnifex::logEncode(premultiplied), s).clamp_min(0.0));
    EXPECT_TRUE(at::allclose(component(*r.plane, c), expected, 1e-4, 1e-5)) << c;
  }
}

// The result has the material's channels; the write-back fits them to whatever the plane asks for.
TEST(SequenceRender, ChannelsOfInputMaterialAndPlane)
{
  const int W = 16, H = 12, s = 2;
  ChannelSet rgbaz(Mask_RGBA);
  rgbaz += Chan_Z;
  struct Case {
    std::vector<Channel> input;
    const char* type;
    ChannelSet plane;
    std::vector<int> expected; // per component: the source channel of a plates-like colour, -1 for 1.0
  };
  const Case cases[] = {
    {{Chan_Red, Chan_Green, Chan_Blue}, "CG [RGBA]", Mask_RGBA, {0, 1, 2, -1}}, // RGB as CG is opaque
    {{Chan_Red, Chan_Green, Chan_Blue}, "CG [RGBA]", Mask_RGB, {0, 1, 2}},
    {{Chan_Red, Chan_Green, Chan_Blue}, "Plates (Alexa) [RGB]", ChannelSet(Chan_Green), {1}},
    {{Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha}, "Plates (Alexa) [RGB]", Mask_RGBA, {0, 1, 2, -1}},
    // Depth is no alpha: an input without alpha is opaque whatever else it carries.
    {{Chan_Red, Chan_Green, Chan_Blue, Chan_Z}, "CG [RGBA]", rgbaz, {0, 1, 2, -1, -1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << ", " << c.input.size() << " input channels, plane " << c.plane);
    SequenceNode n = sequence_node(W, H, 1, 2, c.input, {{"scale", "2x"}, {"type", c.type}, {"preroll", "1"}});
    const FrameResult r = n.session->renderFrame(2, with_channels(c.plane));
    ASSERT_EQ(r.status, FrameStatus::Ok) << r.error;
    ASSERT_EQ(r.plane->nComps(), int(c.expected.size()));
    for (int z = 0; z < r.plane->nComps(); ++z) {
      const int from = c.expected[std::size_t(z)];
      const at::Tensor got = component(*r.plane, z);
      if (from < 0)
        EXPECT_TRUE(at::allclose(got, at::ones_like(got))) << z;
      else
        EXPECT_TRUE(at::allclose(
          got, magnifex::logDecode(bicubic(magnifex::logEncode(frame_channel(2, from, W, H)), s)), 1e-4, 1e-5))
          << z;
    }
  }
}

TEST(SequenceRender, PrerollRunsOnceForConsecutiveFrames)
{
  SequenceNode n =
    sequence_node(12, 8, 1, 20, {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha}, {{"scale", "2x"}, {"debug", "true"}});
  struct Step {
    int frame;
    ChannelSet channels;
    bool preroll;
  };
  // 10, 11, 12 continue; 12 after 10 does not; a change of channels discards the state.
  for (const Step& step :
       {Step{10, Mask_RGB, true}, Step{11, Mask_RGB, false}, Step{12, Mask_RGB, false}, Step{10, Mask_RGB, true},
        Step{12, Mask_RGB, true}, Step{13, Mask_RGBA, true}, Step{14, Mask_RGBA, false}}) {
    testing::internal::CaptureStdout();
    const FrameResult r = n.session->renderFrame(step.frame, with_channels(step.channels));
    const std::string log = testing::internal::GetCapturedStdout();
    ASSERT_EQ(r.status, FrameStatus::Ok) << r.error;
    EXPECT_EQ(count_of(log, "Calculating preroll\n"), step.preroll ? 1 : 0) << "frame " << step.frame;
    EXPECT_EQ(count_of(log, "Calculating preroll frame: "), step.preroll ? 5 : 0) << "frame " << step.frame;
    EXPECT_EQ(op_of(*n.node).sequence_memory().last_rendered_frame, step.frame);
  }
}

// The debug stream follows one patch through the preroll, the current frame and the save of its
// state, and through the alpha path of each material type.
TEST(SequenceRender, DebugStreamFollowsAPatchThroughPrerollCurrentFrameAndSave)
{
  struct Case {
    const char* type;
    const char* network_input;            // the sizes the networks see
    int alpha_path, cg_only, hybrid_only; // lines per current frame / per preroll frame
  };
  for (const Case& c : {Case{"0", "[1, 3, 8, 12]", 0, 0, 0}, Case{"1", "[1, 4, 8, 12]", 1, 1, 0},
                        Case{"2", "[1, 4, 8, 12]", 1, 0, 1}}) {
    SCOPED_TRACE(c.type);
    SequenceNode n = sequence_node(12, 8, 1, 20, {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha},
                                   {{"scale", "2x"}, {"type", c.type}, {"debug", "true"}});
    std::string logs[2];
    for (int i = 0; i < 2; ++i) {
      testing::internal::CaptureStdout();
      const FrameResult r = n.session->renderFrame(10 + i, with_channels(Mask_RGBA));
      logs[i] = testing::internal::GetCapturedStdout();
      ASSERT_EQ(r.status, FrameStatus::Ok) << r.error;
    }
    const std::string& first = logs[0];
    const int preroll = count_of(first, "Calculating preroll frame: ");
    ASSERT_GT(preroll, 1);
    for (const char* line :
         {"Got format (input: ", "    fx1: 0, fy1: 0, fr1: 12, ft1: 8\n", "    height: 8, width: 12\n",
          "; channel_count: 4\n", "Tensor allocated\n", "Tensor filled with image data, channel count: 4\n",
          "Tensor reformated and moved to GPU\n"})
      EXPECT_EQ(count_of(first, line), preroll) << line;
    EXPECT_EQ(count_of(first, std::string("tensor_image sizes: ") + c.network_input + "\n"),
              preroll + 1); // and the flow's
    // The current frame's read, from input 0, does not give the channel count.
    EXPECT_EQ(count_of(first, "Requested input(0): 0, 0, 12, 8; readChannels: "), 1);
    EXPECT_EQ(count_of(first, "Allocated tensor for this frame (sequence)\n"), 1);
    EXPECT_EQ(count_of(first, "--------- 0\n"), preroll + 1); // at each flow
    EXPECT_EQ(count_of(first, "Last patch, appending the saved tensor_image_previous_fullres\n"), 1);
    EXPECT_EQ(count_of(first, "Saving the calculated hr_prev patch for render_count 0, size before: 0\n"), 1);
    EXPECT_EQ(count_of(first, "Appending hr_curr to the hr_prevs for index 0\nand size after: 1\n"), 1);
    EXPECT_EQ(count_of(first, "tensor_image_A: [1, 4, 8, 12]\n"), c.alpha_path);
    EXPECT_EQ(count_of(first, "\nhr_flow: [1, 2, 16, 24]\n"), c.cg_only);
    EXPECT_EQ(count_of(first, "Sized of tensors for hybrid processing\n"), c.hybrid_only * preroll);
    EXPECT_EQ(count_of(first, "hr_currB sizes (concat): [1, 4, 16, 24]\n"), c.hybrid_only * preroll);

    // The next frame loads the saved state and overwrites it.
    const std::string& next = logs[1];
    EXPECT_EQ(count_of(next, "Tensor allocated\n"), 0);
    EXPECT_EQ(count_of(next, "Last patch, overwriting the saved tensor_image_previous_fullres\n"), 1);
    EXPECT_EQ(count_of(next, "size before: 1\nOverwriting the hr_prevs with hr_curr for index 0\nand size after: 1\n"),
              1);
  }
}

TEST(SequenceRender, RendersThatWriteNothing)
{
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> knobs;
    bool abort;
    FrameStatus status;
  };
  const Case cases[] = {
    {"before the first frame", {{"first_frame", "3"}}, false, FrameStatus::Ok},
    {"after the last frame", {{"last_frame", "1"}}, false, FrameStatus::Ok},
    {"aborted mid-frame", {}, true, FrameStatus::Aborted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SequenceNode n = sequence_node(20, 10, 1, 4, {Chan_Red, Chan_Green, Chan_Blue}, c.knobs);
    if (c.abort)
      n.session->setProgressCallback([&](double, double fraction) {
        if (fraction > 0.5)
          n.session->requestAbort();
      });
    const FrameResult r = n.session->renderFrame(2);
    EXPECT_EQ(r.status, c.status) << r.error;
    EXPECT_TRUE(plane_is_zero(*r.plane));
    const Magnifex& op = op_of(*n.node);
    EXPECT_EQ(op.frame_state().render_count, 0);
    EXPECT_TRUE(op.sequence_memory().empty());
  }
}

TEST(SequenceRender, ABoundingBoxThatChangesIsRefused)
{
  auto source = std::make_shared<host_runtime::MemoryImageSource>(Format(20, 10));
  for (int f = 1; f <= 3; ++f) {
    const Box box = f == 2 ? Box(0, 0, 20, 10) : Box(2, 0, 20, 10);
    source->addFrame(
      f, host_runtime::Image::filled(box, {Chan_Red, Chan_Green, Chan_Blue}, [](int, int, int) { return 0.5f; }));
  }
  auto node = make_node();
  RenderSession session(*node, source);
  session.connectInputsAt(2);
  node->setKnobs({{"mode", "sequence"}, {"preroll", "1"}});
  testing::internal::CaptureStdout();
  const FrameResult r = session.renderFrame(2);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(r.status, FrameStatus::Failed);
  EXPECT_NE(r.error.find("The node doesn't support dynamically changing format/bbox between frames in sequence mode."),
            std::string::npos)
    << r.error;
  EXPECT_TRUE(plane_is_zero(*r.plane));
}

// The tiny pack's own networks, the hybrid group included, and a render with no preroll at all.
TEST(SequenceRender, TinyNetworksOfEveryMaterial)
{
  for (const char* type : {"Plates (Alexa) [RGB]", "CG [RGBA]", "Hybrid (Alexa+CG) [RGBA]"})
    for (const char* preroll : {"1", "0"}) {
      SCOPED_TRACE(testing::Message() << type << ", preroll " << preroll);
      SequenceNode n = sequence_node(24, 16, 1, 2, {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha},
                                     {{"type", type}, {"preroll", preroll}}, nullptr);
      const FrameResult r = n.session->renderFrame(2, with_channels(Mask_RGBA));
      ASSERT_EQ(r.status, FrameStatus::Ok) << r.error;
      EXPECT_EQ(op_of(*n.node).networks().hybrid_nets_loaded(), std::string(type).rfind("Hybrid", 0) == 0);
      const at::Tensor colour = component(*r.plane, 0);
      EXPECT_TRUE(at::isfinite(colour).all().item<bool>());
      EXPECT_NEAR(colour.mean().item<float>(), frame_channel(2, 0, 24, 16).mean().item<float>(), 0.1);
    }
}

// A channel comes out the same whichever other channels are asked for with it: the networks mix
// channels, so reading only the ones asked would change them. Still mode and every material of
// sequence mode, with networks that mix every channel into every other.
TEST(ChannelSubsets, GiveTheirChannelsAsAWholeRenderDoes)
{
  struct Case {
    const char* mode;
    const char* type;
    std::vector<ChannelSet> subsets;
  };
  ChannelSet red_blue(Chan_Red);
  red_blue += Chan_Blue;
  ChannelSet blue_alpha(Chan_Blue);
  blue_alpha += Chan_Alpha;
  const Case cases[] = {
    {"still", "Plates (Alexa) [RGB]", {ChannelSet(Chan_Green), red_blue}},
    {"sequence", "Plates (Alexa) [RGB]", {ChannelSet(Chan_Green), red_blue}},
    {"sequence", "CG [RGBA]", {ChannelSet(Chan_Green), ChannelSet(Chan_Alpha), blue_alpha}},
    {"sequence", "Hybrid (Alexa+CG) [RGBA]", {ChannelSet(Chan_Red), blue_alpha}},
  };
  const int W = 20, H = 14, s = 2;
  const std::string mix = "  y = x + x.mean(1, keepdim=True) * 0.5\n  return y.repeat_interleave(" + std::to_string(s) +
                          ", 2).repeat_interleave(" + std::to_string(s) + ", 3)\n";
  const std::vector<Channel> rgba{Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha};
  magnifex::ScriptedNetworks nets;
  nets.still = scripted("def forward(self, x):\n" + mix);
  nets.flow = scripted(kZeroFlow);
  nets.sequence = nets.sequence_rgb = scripted("def forward(self, x, hr):\n" + mix);
  const auto mixing = networks(std::move(nets));
  auto render = [&](const Case& c, const ChannelSet& channels) {
    SequenceNode n = sequence_node(W, H, 1, 2, rgba, {{"scale", "2x"}, {"type", c.type}, {"preroll", "1"}}, mixing);
    n.node->setKnob("mode", c.mode);
    EXPECT_TRUE(open_with_tiny_pack(*n.node));
    return n.session->renderFrame(2, with_channels(channels));
  };
  for (const Case& c : cases) {
    const FrameResult whole = render(c, Mask_RGBA);
    ASSERT_EQ(whole.status, FrameStatus::Ok) << whole.error;
    for (const ChannelSet& subset : c.subsets) {
      SCOPED_TRACE(testing::Message() << c.mode << ", " << c.type << ", channels " << subset);
      const FrameResult part = render(c, subset);
      ASSERT_EQ(part.status, FrameStatus::Ok) << part.error;
      int z = 0;
      for (Channel ch = subset.first(); ch != Chan_Black; ch = subset.next(ch), ++z)
        EXPECT_TRUE(at::equal(component(*part.plane, z), component(*whole.plane, whole.plane->chanNo(ch))))
          << getName(ch);
    }
  }
}
