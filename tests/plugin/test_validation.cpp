// What the node tells the host before a render: format, box, channels, contexts, requests.
#include <ATen/ops/zeros.h>

#include "NodeFixture.h"
#include "runtime/RenderSession.h"

using namespace magnifex_test;
using DD::Image::Box;
using host_runtime::FrameResult;
using host_runtime::RenderOptions;
using host_runtime::RenderSession;

namespace {

RenderOptions validate_only(std::optional<Box> box = std::nullopt)
{
  RenderOptions o;
  o.validateOnly = true;
  o.box = box;
  return o;
}

std::vector<double> context_frames(const FrameResult& r)
{
  return r.contextFrames;
}

std::vector<double> request_frames(const FrameResult& r)
{
  std::vector<double> frames;
  for (const auto& q : r.requests)
    frames.push_back(q.frame);
  return frames;
}

} // namespace

TEST(Validation, OutputFormatAndBoxScaleWithTheInput)
{
  auto node = make_node();
  RenderSession session(*node, plate(1920, 1080, 1, 1, 0, 0, false, 2.0));
  node->setKnob("scale", "2x");
  FrameResult r = session.validateFrame(1, validate_only());
  EXPECT_EQ(r.format.width(), 3840);
  EXPECT_EQ(r.format.height(), 2160);
  EXPECT_EQ(Box(r.format.x(), r.format.y(), r.format.r(), r.format.t()), Box(0, 0, 3840, 2160));
  EXPECT_DOUBLE_EQ(r.format.pixel_aspect(), 2.0);
  EXPECT_EQ(r.box, Box(0, 0, 3840, 2160));
  EXPECT_EQ(r.channels, DD::Image::ChannelSet(DD::Image::Mask_RGB));

  node->setKnob("scale", "4x");
  r = session.validateFrame(1, validate_only());
  EXPECT_EQ(r.format.width(), 7680);
  EXPECT_EQ(r.format.height(), 4320);
  EXPECT_EQ(op_of(*node).frame_state().input_width, 1920);
  EXPECT_EQ(op_of(*node).frame_state().use_alpha, 0);
}

TEST(Validation, FormatNotAtTheOriginStartsAtTheOrigin)
{
  auto node = make_node();
  node->setKnob("scale", "2x");
  RenderSession session(*node, plate(100, 50, 1, 1, -20, 10));
  const FrameResult r = session.validateFrame(1, validate_only());
  EXPECT_EQ(Box(r.format.x(), r.format.y(), r.format.r(), r.format.t()), Box(0, 0, 200, 100));
  EXPECT_EQ(r.format.width(), 200);
  // The bounding box keeps its place, scaled.
  EXPECT_EQ(r.box, Box(-40, 20, 160, 120));
}

TEST(Validation, RequestsDivideTowardZero)
{
  auto node = make_node();
  node->setKnob("scale", "2x");
  RenderSession session(*node, plate(1920, 1080));
  FrameResult r = session.validateFrame(1, validate_only(Box(0, 0, 3841, 2160)));
  ASSERT_EQ(r.requests.size(), 1u);
  EXPECT_EQ(r.requests[0].box, Box(0, 0, 1920, 1080));
  EXPECT_EQ(r.requests[0].input, 0);

  r = session.validateFrame(1, validate_only(Box(-3, -5, 7, 9)));
  EXPECT_EQ(r.requests.at(0).box, Box(-1, -2, 3, 4));
  node->setKnob("scale", "4x");
  r = session.validateFrame(1, validate_only(Box(-7, -8, 9, 15)));
  EXPECT_EQ(r.requests.at(0).box, Box(-1, -2, 2, 3));
}

TEST(Validation, StillModeUsesOneContext)
{
  auto node = make_node();
  RenderSession session(*node, plate(64, 48, 1, 20));
  const FrameResult r = session.validateFrame(10, validate_only());
  EXPECT_EQ(r.splitCount, 1);
  EXPECT_EQ(context_frames(r), (std::vector<double>{10}));
  EXPECT_EQ(op_of(*node).frame_state().input_context_count, 1);
  EXPECT_EQ(r.requests.size(), 1u);
}

TEST(Validation, SequenceContextsFollowThePrerollWindow)
{
  auto node = make_node();
  node->setKnobs({{"mode", "sequence"}, {"first_frame", "1"}, {"preroll", "5"}});
  RenderSession session(*node, plate(64, 48, 1, 20));

  // At the first frame the following frames stand in for the past.
  FrameResult r = session.validateFrame(1, validate_only());
  EXPECT_EQ(r.splitCount, 6);
  EXPECT_EQ(context_frames(r), (std::vector<double>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(request_frames(r), (std::vector<double>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(op_of(*node).frame_state().preroll_frames, (std::vector<int>{6, 5, 4, 3, 2}));

  // Near the start the window reflects: fewer contexts in use than the host makes.
  r = session.validateFrame(3, validate_only());
  EXPECT_EQ(r.splitCount, 6);
  EXPECT_EQ(op_of(*node).frame_state().input_context_count, 4);
  EXPECT_EQ(std::vector<double>(r.contextFrames.begin(), r.contextFrames.begin() + 4),
            (std::vector<double>{3, 1, 2, 4}));
  EXPECT_EQ(request_frames(r), (std::vector<double>{3, 1, 2, 4}));
  EXPECT_EQ(op_of(*node).frame_state().frame_to_input, (std::map<int, int>{{1, 1}, {2, 2}, {3, 0}, {4, 3}}));

  r = session.validateFrame(10, validate_only());
  EXPECT_EQ(context_frames(r), (std::vector<double>{10, 5, 6, 7, 8, 9}));
  EXPECT_EQ(op_of(*node).frame_state().preroll_frames, (std::vector<int>{5, 6, 7, 8, 9}));
}

TEST(Validation, SequenceWithoutPreroll)
{
  auto node = make_node();
  node->setKnobs({{"mode", "sequence"}, {"first_frame", "1"}, {"preroll", "0"}});
  RenderSession session(*node, plate(64, 48, 1, 20));
  const FrameResult r = session.validateFrame(5, validate_only());
  EXPECT_EQ(r.splitCount, 1);
  EXPECT_EQ(r.requests.size(), 1u);
  EXPECT_TRUE(op_of(*node).frame_state().preroll_frames.empty());

  node->setKnob("preroll", "-3");
  EXPECT_EQ(op_of(*node).split_input(0), 1); // never fewer than one context
}

TEST(Validation, FramesBeforeTheFirstFrameStayWithinTheHostsContexts)
{
  auto node = make_node();
  node->setKnobs({{"mode", "sequence"}, {"first_frame", "10"}, {"preroll", "2"}});
  RenderSession session(*node, plate(64, 48, 1, 20));
  const FrameResult r = session.validateFrame(5, validate_only());
  EXPECT_EQ(r.splitCount, 3);
  EXPECT_LE(r.requests.size(), 3u);
}

TEST(Validation, SavedStateContinuesOnlyOnTheNextFrame)
{
  use_plugin_dir("tiny");
  auto node = make_node();
  node->setKnobs({{"mode", "sequence"}, {"first_frame", "1"}, {"last_frame", "20"}, {"scale", "2x"}});
  Magnifex& op = op_of(*node);
  RenderSession session(*node, plate(16, 8, 1, 20));
  session.connectInputsAt(10);

  auto saved_after = [&](int rendered, int next) {
    const FrameResult done = session.renderFrame(rendered);
    EXPECT_EQ(done.status, host_runtime::FrameStatus::Ok) << done.error;
    EXPECT_TRUE(op.sequence_memory().saved(0));
    return session.validateFrame(next, validate_only());
  };

  FrameResult r = saved_after(10, 11);
  EXPECT_TRUE(op.sequence_memory().saved(0));
  EXPECT_EQ(op.frame_state().input_context_count, 1);
  EXPECT_EQ(r.requests.size(), 1u); // only the current frame
  EXPECT_EQ(r.splitCount, 6);       // while the host still makes all contexts

  for (int next : {12, 10, 9}) {
    r = saved_after(10, next);
    EXPECT_TRUE(op.sequence_memory().empty()) << next;
    EXPECT_EQ(op.sequence_memory().result_count(), 0u) << next;
    EXPECT_EQ(op.frame_state().input_context_count, 6) << next;
  }

  // Still mode leaves saved sequence state alone.
  saved_after(10, 11);
  node->setKnob("mode", "still");
  session.validateFrame(15, validate_only());
  EXPECT_TRUE(op.sequence_memory().saved(0));
}

TEST(Validation, DetailsChangeClearsTheBlend)
{
  auto node = make_node();
  const Magnifex& op = op_of(*node);
  RenderSession session(*node, plate(64, 48));
  ASSERT_TRUE(open_with_tiny_pack(*node));
  node->setKnobs({{"max_size", "200"}, {"overlap", "10"}, {"scale", "4x"}});
  session.validateFrame(1, validate_only());
  EXPECT_TRUE(op.networks().blend_ready);

  node->setKnob("details", "0.3");
  session.validateFrame(1, validate_only());
  EXPECT_FALSE(op.networks().blend_ready);
}

TEST(Validation, AlphaProcessingByTypeInSequenceMode)
{
  auto node = make_node();
  RenderSession session(*node, plate(64, 48, 1, 1, 0, 0, true));
  node->setKnob("type", "CG [RGBA]");
  session.validateFrame(1, validate_only());
  EXPECT_EQ(op_of(*node).frame_state().use_alpha, 0); // still mode
  node->setKnob("mode", "sequence");
  session.validateFrame(1, validate_only());
  EXPECT_EQ(op_of(*node).frame_state().use_alpha, 1);
  node->setKnob("type", "2");
  session.validateFrame(1, validate_only());
  EXPECT_EQ(op_of(*node).frame_state().use_alpha, 1);
  node->setKnob("type", "Plates (Alexa) [RGB]");
  session.validateFrame(1, validate_only());
  EXPECT_EQ(op_of(*node).frame_state().use_alpha, 0);
}

// What the host's 32-bit boxes cannot hold once scaled and a preroll beyond the largest supported
// are node errors, never wrapped formats; without an input the output is empty, and stays so.
TEST(Validation, RefusesWhatCannotBeUpscaled)
{
  const int large = 600000000; // fits an int, four times it does not
  struct Case {
    std::shared_ptr<host_runtime::MemoryImageSource> input; // null: nothing connected
    std::vector<std::pair<std::string, std::string>> knobs;
    std::string error; // empty: validates
  };
  const Case cases[] = {
    {nullptr, {}, ""},
    {plate(64, 48, 1, 1, large, 0),
     {},
     "The input is too large to upscale 4x: its coordinates must lie within -536870911 and 536870911"},
    {plate(64, 48, 1, 1, large, 0), {{"scale", "2x"}}, ""},
    {plate(64, 48, 1, 1, -large, -large),
     {},
     "The input is too large to upscale 4x: its coordinates must lie within -536870911 and 536870911"},
    {plate(64, 48),
     {{"mode", "sequence"}, {"preroll", "101"}},
     "A preroll of 101 frames is more than the 100 frames Magnifex supports"},
    {plate(64, 48), {{"mode", "sequence"}, {"preroll", "100"}}, ""},
    {plate(64, 48), {{"preroll", "2147483647"}}, ""}, // still mode reads no preroll
    // Values that can only give a wrong picture: weights extrapolated, patches without context.
    {plate(64, 48), {{"details", "0"}}, ""},
    {plate(64, 48), {{"details", "1"}}, ""},
    {plate(64, 48), {{"details", "7"}}, "details must lie between 0 and 1, not 7"},
    {plate(64, 48), {{"details", "-0.5"}}, "details must lie between 0 and 1, not -0.5"},
    {plate(64, 48), {{"max_size", "32"}}, ""},
    {plate(64, 48),
     {{"max_size", "31"}},
     "max size must be at least 32 px (smaller patches see too little around them), not 31"},
    {nullptr,
     {{"max_size", "1"}},
     "max size must be at least 32 px (smaller patches see too little around them), not 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error.empty() ? "validates" : c.error);
    auto node = make_node();
    RenderSession session(*node, c.input);
    session.connectInputsAt(1);
    node->setKnobs(c.knobs);
    for (int frame = 1; frame <= 3; ++frame) { // again and again: nothing accumulates
      const FrameResult r = session.validateFrame(frame, validate_only());
      if (c.error.empty()) {
        EXPECT_EQ(r.status, host_runtime::FrameStatus::Ok) << r.error;
        EXPECT_EQ(r.format.width(), !c.input ? 0 : op_of(*node).settings().scale == 0 ? 128 : 256);
        EXPECT_EQ(r.box.w(), r.format.width());
      } else {
        EXPECT_EQ(r.status, host_runtime::FrameStatus::Failed);
        EXPECT_EQ(r.error, "Magnifex1: " + c.error);
      }
    }
  }
}
