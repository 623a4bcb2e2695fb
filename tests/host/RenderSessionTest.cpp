#include <gtest/gtest.h>

#include <climits>
#include <new>
#include <set>

#include "DDImage/Iop.h"
#include "DDImage/PlanarIop.h"
#include "runtime/RenderSession.h"
#include "runtime/SourceOp.h"
#include "support/TestImages.h"
#include "support/TestPlugin.h"

using DD::Image::Box;
using DD::Image::Chan_Alpha;
using DD::Image::Chan_Blue;
using DD::Image::Chan_Green;
using DD::Image::Chan_Red;
using DD::Image::Chan_Z;
using DD::Image::ChannelSet;
using host_runtime::FrameResult;
using host_runtime::FrameStatus;
using host_runtime::RenderOptions;
using host_runtime::RenderSession;
using test_support::pixelValue;

namespace {

const std::vector<DD::Image::Channel> kChannels = {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha, Chan_Z};
const Box kInputBox(-2, 1, 6, 5);

// A node that runs out of memory as it renders.
class Greedy : public DD::Image::PlanarIop {
public:
  explicit Greedy(DD::Image::Node* node) : PlanarIop(node) {}
  const char* Class() const override { return "Greedy"; }
  const char* node_help() const override { return "Runs out of memory."; }
  void renderStripe(DD::Image::ImagePlane&) override { throw std::bad_alloc(); }
};
const DD::Image::Op::Description greedy("Greedy", "Test/Greedy",
                                        [](DD::Image::Node* node) -> DD::Image::Iop* { return new Greedy(node); });

// An input whose frames are too large to be held.
class StarvedSource : public host_runtime::MemoryImageSource {
public:
  using MemoryImageSource::MemoryImageSource;
  std::shared_ptr<const host_runtime::Image> pixels(int) const override { throw std::bad_alloc(); }
};

class RenderSessionTest : public ::testing::Test {
protected:
  std::unique_ptr<host_runtime::HostNode> node = test_support::makeTestScale();
  std::shared_ptr<host_runtime::MemoryImageSource> source =
    test_support::numberedFrames(test_support::offsetFormat(), kInputBox, kChannels, 1, 5);
};

} // namespace

TEST_F(RenderSessionTest, ValidatesWithTheInputsFormatBoxAndChannelsScaled)
{
  RenderSession session(*node, source);
  const FrameResult r = session.validateFrame(3);
  ASSERT_EQ(r.status, FrameStatus::Ok) << r.error;
  EXPECT_EQ(r.format, Box(0, 0, 40, 20));
  EXPECT_EQ(r.format.width(), 40);
  EXPECT_EQ(r.format.pixel_aspect(), 2.0);
  EXPECT_EQ(r.box, Box(-4, 2, 12, 10));
  ChannelSet expected(DD::Image::Mask_RGBA);
  expected += Chan_Z;
  EXPECT_EQ(r.channels, expected);
  EXPECT_EQ(r.firstFrame, 1);
  EXPECT_EQ(r.lastFrame, 5);
  EXPECT_EQ(r.plane, nullptr);
  ASSERT_EQ(r.requests.size(), 1u);
  EXPECT_EQ(r.requests[0].input, 0);
  EXPECT_EQ(r.requests[0].box, kInputBox);
  EXPECT_EQ(r.requests[0].channels, expected);
  EXPECT_EQ(session.inputContext(0)->requestedBox(), kInputBox);
}

TEST_F(RenderSessionTest, RendersOnePackedPlaneOfTheWholeBox)
{
  node->setKnob("gain", "0.5");
  RenderSession session(*node, source);
  RenderOptions options;
  options.channels = ChannelSet(Chan_Blue) | ChannelSet(Chan_Z);
  const FrameResult r = session.renderFrame(2, options);
  ASSERT_EQ(r.status, FrameStatus::Ok) << r.error;
  ASSERT_NE(r.plane, nullptr);
  EXPECT_TRUE(r.plane->packed());
  EXPECT_EQ(r.plane->bounds(), r.box);
  ASSERT_EQ(r.plane->nComps(), 2);
  for (int y = r.box.y(); y < r.box.t(); ++y)
    for (int x = r.box.x(); x < r.box.r(); ++x) {
      const int sx = x >= 0 ? x / 2 : -((1 - x) / 2), sy = y / 2;
      ASSERT_EQ(r.plane->at(x, y, 0), 0.5f * pixelValue(2, sx, sy, 2)) << x << "," << y;
      ASSERT_EQ(r.plane->at(x, y, 1), 0.5f * pixelValue(2, sx, sy, 4)) << x << "," << y;
    }
}

TEST_F(RenderSessionTest, MakesEachInputContextAtTheFrameTheNodeNames)
{
  node->setKnob("contexts", "3");
  RenderSession session(*node, source);
  const FrameResult r = session.validateFrame(4);
  ASSERT_EQ(r.status, FrameStatus::Ok) << r.error;
  EXPECT_EQ(r.splitCount, 3);
  EXPECT_EQ(r.contextFrames, (std::vector<double>{4, 3, 2}));
  std::set<const DD::Image::Op*> distinct;
  for (int k = 0; k < 3; ++k) {
    const host_runtime::SourceOp* context = session.inputContext(k);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->outputContext().frame(), 4.0 - k);
    EXPECT_EQ(node->op().input(k), context);
    EXPECT_EQ(node->op().input(0, k), context);
    distinct.insert(context);
  }
  EXPECT_EQ(distinct.size(), 3u);
  ASSERT_EQ(r.requests.size(), 3u);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(r.requests[k].input, k);
    EXPECT_EQ(r.requests[k].frame, 4.0 - k);
  }
}

TEST_F(RenderSessionTest, ContextsOutsideTheRangeHoldItsEnds)
{
  node->setKnob("contexts", "3");
  RenderSession session(*node, source);
  ASSERT_EQ(session.renderFrame(1).status, FrameStatus::Ok);
  EXPECT_EQ(session.inputContext(2)->outputContext().frame(), -1.0);
  EXPECT_EQ(session.inputContext(2)->sourceFrame(), 1);
  const FrameResult late = session.renderFrame(9);
  ASSERT_EQ(late.status, FrameStatus::Ok);
  EXPECT_EQ(late.plane->at(0, 2, 0), pixelValue(5, 0, 1, 0));
}

TEST_F(RenderSessionTest, ANodeErrorFailsTheFrameAndLeavesThePlaneUnwritten)
{
  node->setKnob("fail", "true");
  RenderSession session(*node, source);
  const FrameResult r = session.renderFrame(1);
  EXPECT_EQ(r.status, FrameStatus::Failed);
  EXPECT_EQ(r.error, node->name() + ": TestScale: failure requested (2)");
  EXPECT_FALSE(r.inputFailed);
  ASSERT_NE(r.plane, nullptr);
  EXPECT_EQ(r.plane->at(0, 2, 0), 0.0f);
  // The next pass starts clean.
  node->setKnob("fail", "false");
  EXPECT_EQ(session.renderFrame(1).status, FrameStatus::Ok);
}

// Whether the node wrote pixels is the host's own observation, not the plane's contents.
TEST_F(RenderSessionTest, TellsFramesTheNodeRenderedNothingFor)
{
  node->setKnob("last_frame", "2");
  node->setKnob("gain", "0"); // frames it renders are black too
  RenderSession session(*node, source);
  for (int frame : {1, 2, 3}) {
    SCOPED_TRACE(frame);
    const FrameResult r = session.renderFrame(frame);
    ASSERT_EQ(r.status, FrameStatus::Ok) << r.error;
    EXPECT_EQ(r.pixelsWritten, frame <= 2);
    EXPECT_EQ(r.renderedNothing(), frame > 2);
    EXPECT_EQ(r.plane->at(r.box.x(), r.box.y(), 0), 0.0f);
  }
  node->setKnob("fail", "true");
  EXPECT_FALSE(session.renderFrame(1).renderedNothing()); // a failure is no empty render
}

TEST_F(RenderSessionTest, AUserAbortEndsTheRender)
{
  RenderSession session(*node, source);
  std::vector<double> fractions;
  session.setProgressCallback([&](double frame, double fraction) {
    EXPECT_EQ(frame, 2.0);
    fractions.push_back(fraction);
    if (fraction >= 0.5)
      session.requestAbort();
  });
  const FrameResult r = session.renderFrame(2);
  EXPECT_EQ(r.status, FrameStatus::Aborted);
  EXPECT_TRUE(r.error.empty());
  ASSERT_FALSE(fractions.empty());
  EXPECT_EQ(fractions.back(), 0.5);
  EXPECT_EQ(r.plane->at(r.box.x(), r.box.t() - 1, 0), 0.0f); // the top rows were never reached
}

TEST_F(RenderSessionTest, AMissingInputFrameFailsTheRenderWithTheInputsError)
{
  auto gappy = test_support::numberedFrames(test_support::offsetFormat(), kInputBox, kChannels, 1, 1);
  gappy->addFrame(3, host_runtime::Image::filled(kInputBox, kChannels, [](int, int, int) { return 1.0f; }));
  RenderSession session(*node, gappy);
  std::vector<FrameResult> results = session.renderFrames(1, 3);
  ASSERT_EQ(results.size(), 2u); // stops at the failure
  EXPECT_EQ(results[0].status, FrameStatus::Ok);
  EXPECT_EQ(results[1].status, FrameStatus::Failed);
  EXPECT_EQ(results[1].error, "Read1: no image for frame 2");
  EXPECT_TRUE(results[1].inputFailed);
}

TEST_F(RenderSessionTest, RunningOutOfMemoryFailsTheFrameWithWhoseFaultItIs)
{
  auto starved = std::make_shared<StarvedSource>(test_support::offsetFormat());
  starved->addFrame(1, host_runtime::Image::filled(kInputBox, kChannels, [](int, int, int) { return 1.0f; }));
  RenderSession reading(*node, starved);
  const FrameResult input = reading.renderFrame(1);
  EXPECT_EQ(input.status, FrameStatus::Failed);
  EXPECT_TRUE(input.inputFailed);
  EXPECT_EQ(input.error, "Read1: not enough memory to read frame 1");

  auto greedyNode = host_runtime::HostNode::create("Greedy");
  RenderSession rendering(*greedyNode, source);
  const FrameResult render = rendering.renderFrame(1);
  EXPECT_EQ(render.status, FrameStatus::Failed);
  EXPECT_FALSE(render.inputFailed);
  EXPECT_EQ(render.error, greedyNode->name() + ": not enough memory in render");
}

TEST_F(RenderSessionTest, ARangeEndingAtTheLargestFrameEndsThere)
{
  RenderSession session(*node, source);
  RenderOptions validateOnly;
  validateOnly.validateOnly = true;
  const std::vector<FrameResult> results = session.renderFrames(INT_MAX - 1, INT_MAX, validateOnly);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[1].frame, double(INT_MAX));
}

TEST_F(RenderSessionTest, WithoutAnInputThereIsNothingToRender)
{
  RenderSession session(*node, nullptr);
  const FrameResult r = session.renderFrame(1);
  EXPECT_EQ(r.status, FrameStatus::Ok) << r.error;
  EXPECT_EQ(r.box, Box(0, 0, 0, 0));
  EXPECT_EQ(r.contextFrames, std::vector<double>{1.0});
  EXPECT_TRUE(r.requests.empty());
  EXPECT_EQ(node->op().input(0), nullptr);
  EXPECT_EQ(session.inputContext(0), nullptr);
}

TEST_F(RenderSessionTest, DisconnectsWhenItEnds)
{
  {
    RenderSession session(*node, source);
    session.connectInputsAt(1);
    EXPECT_NE(node->op().input(0), nullptr);
  }
  EXPECT_EQ(node->op().input(0), nullptr);
}
