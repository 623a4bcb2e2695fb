#include <gtest/gtest.h>

#include "DDImageHost/OpControl.h"
#include "DDImageHost/Planes.h"
#include "TestOps.h"

using namespace DD::Image;
using sdk_test::PassOp;
using sdk_test::PatternOp;

namespace {

ChannelSet redAlphaZ()
{
  ChannelSet s(Chan_Z); // inserted out of order on purpose
  s += Chan_Alpha;
  s += Chan_Red;
  return s;
}

} // namespace

TEST(ImagePlane, LayoutsAndStrides)
{
  ImagePlane packed(Box(-2, 3, 2, 5), true, Mask_RGB);
  EXPECT_EQ(packed.nComps(), 3);
  EXPECT_EQ(packed.colStride(), 3);
  EXPECT_EQ(packed.rowStride(), 12);
  EXPECT_EQ(packed.chanStride(), 1);
  packed.writableAt(-1, 4, 2) = 7.0f;
  EXPECT_EQ(packed.readable()[1 * 12 + 1 * 3 + 2], 7.0f);

  ImagePlane planar(Box(-2, 3, 2, 5), false, Mask_RGB, 3);
  EXPECT_EQ(planar.colStride(), 1);
  EXPECT_EQ(planar.rowStride(), 4);
  EXPECT_EQ(planar.chanStride(), 8);
  planar.writableAt(-1, 4, 2) = 7.0f;
  EXPECT_EQ(planar.readable()[2 * 8 + 1 * 4 + 1], 7.0f);
  EXPECT_EQ(planar.chanNo(Chan_Blue), 2);
  EXPECT_EQ(planar.chanNo(Chan_Alpha), -1);

  ImagePlane empty(Box(5, 5, 2, 2), true, Mask_RGB); // an inverted box holds nothing
  EXPECT_EQ(empty.bounds().w(), -3);
}

TEST(ImagePlane, CopiesShareStorageUntilMadeUnique)
{
  ImagePlane a(Box(0, 0, 2, 2), true, Mask_RGB);
  ImagePlane b = a;
  b.writableAt(0, 0, 0) = 1.0f;
  EXPECT_EQ(a.at(0, 0, 0), 1.0f);
  b.makeUnique();
  b.writableAt(0, 0, 0) = 2.0f;
  EXPECT_EQ(a.at(0, 0, 0), 1.0f);
  EXPECT_EQ(b.at(0, 0, 0), 2.0f);
}

// What plug-ins rely on: one full H x W float plane per channel, channels in channel-number
// order, rows from the bottom of the box.
TEST(FetchPlane, UnpackedPlanesHoldOneFullPlanePerChannelInChannelOrder)
{
  Node node("Pattern1");
  PatternOp op(&node, Box(-5, -3, 9, 6), redAlphaZ());
  const Box box(-3, -2, 4, 5);
  ImagePlane plane(box, false, redAlphaZ(), 3);
  op.fetchPlane(plane);
  const float* data = plane.readable();
  const Channel order[] = {Chan_Red, Chan_Alpha, Chan_Z};
  std::size_t i = 0;
  for (Channel c : order)
    for (int y = box.y(); y < box.t(); ++y)
      for (int x = box.x(); x < box.r(); ++x, ++i)
        ASSERT_EQ(data[i], PatternOp::value(x, y, c)) << x << "," << y << "," << c;
  EXPECT_EQ(i, std::size_t(3 * 7 * 7));
  EXPECT_EQ(op.opens, 1); // opened when first read
}

TEST(FetchPlane, PackedPlanesHoldTheChannelsOfAPixelSideBySide)
{
  Node node("Pattern1");
  PatternOp op(&node, Box(0, 0, 8, 8), Mask_RGBA);
  const Box box(2, 1, 5, 3);
  ImagePlane plane(box, true, Mask_RGBA);
  op.fetchPlane(plane);
  const float* data = plane.readable();
  EXPECT_EQ(data[0], PatternOp::value(2, 1, Chan_Red));
  EXPECT_EQ(data[3], PatternOp::value(2, 1, Chan_Alpha));
  EXPECT_EQ(data[4], PatternOp::value(3, 1, Chan_Red));
  EXPECT_EQ(data[12], PatternOp::value(2, 2, Chan_Red));
  ASSERT_EQ(op.stripeCalls.size(), 1u);
  EXPECT_EQ(op.stripeCalls[0], box);
}

TEST(RenderPlane, HandsTheTargetItselfWhenTheOpWantsWholePlanesOfItsLayout)
{
  Node node("Pattern1");
  PatternOp op(&node, Box(0, 0, 8, 8), Mask_RGB);
  op.preference = PlanarI::ePackedPreferencePacked;
  ImagePlane target(Box(0, 0, 8, 8), true, Mask_RGB);
  const float* storage = target.readable();
  host::renderPlane(op, target);
  ASSERT_EQ(op.stripeCalls.size(), 1u);
  EXPECT_TRUE(op.packedSeen[0]);
  EXPECT_EQ(target.readable(), storage);
}

TEST(RenderPlane, ConvertsLayoutsAndStripesForOpsThatAskForThem)
{
  Node node("Pattern1");
  PatternOp op(&node, Box(0, 0, 8, 80), Mask_RGB);
  op.preference = PlanarI::ePackedPreferenceUnpacked;
  op.stripes = true;
  ImagePlane target(Box(1, 0, 7, 70), true, Mask_RGB);
  host::renderPlane(op, target);
  ASSERT_EQ(op.stripeCalls.size(), 3u);
  EXPECT_EQ(op.stripeCalls[2], Box(1, 64, 7, 70));
  EXPECT_FALSE(op.packedSeen[0]);
  for (int y : {0, 33, 69})
    for (int z = 0; z < 3; ++z)
      EXPECT_EQ(target.at(6, y, z), PatternOp::value(6, y, Channel(z + 1)));

  PatternOp stopping(&node, Box(0, 0, 8, 80), Mask_RGB);
  stopping.stripes = true;
  stopping.abortAfterFirstStripe = true;
  host::renderPlane(stopping, target);
  EXPECT_EQ(stopping.stripeCalls.size(), 1u);

  ImagePlane none(Box(0, 0, 0, 4), true, Mask_RGB);
  host::renderPlane(op, none);
  EXPECT_EQ(op.stripeCalls.size(), 3u);
}

TEST(FetchPlane, AnImageOpWithoutPixelsOfItsOwnGivesBlack)
{
  Node node("Pass1");
  PassOp op(&node);
  ImagePlane plane(Box(0, 0, 2, 2), false, Mask_RGB);
  plane.writableAt(1, 1, 2) = 5.0f;
  op.fetchPlane(plane);
  EXPECT_EQ(plane.at(1, 1, 2), 0.0f);
}

// The host tells a plane an op rendered nothing into from one it rendered black.
TEST(ImagePlane, KnowsWhetherItsPixelsWereGivenOutForWriting)
{
  ImagePlane fresh(Box(0, 0, 2, 2), true, Mask_RGB);
  EXPECT_FALSE(host::wasWritten(fresh));
  (void)fresh.readable();
  (void)fresh.at(1, 1, 2);
  fresh.makeUnique();
  EXPECT_FALSE(host::wasWritten(fresh));

  ImagePlane byPointer(Box(0, 0, 2, 2), true, Mask_RGB);
  (void)byPointer.writable();
  EXPECT_TRUE(host::wasWritten(byPointer));

  ImagePlane shared(Box(0, 0, 2, 2), true, Mask_RGB);
  ImagePlane copy = shared;
  copy.writableAt(0, 0, 0) = 0.0f; // zero is a value too
  EXPECT_TRUE(host::wasWritten(shared));
  ImagePlane unique = shared;
  unique.makeUnique();
  EXPECT_TRUE(host::wasWritten(unique)); // made from written pixels
}

TEST(RenderPlane, LeavesTheTargetUnwrittenWhenTheOpWritesNothing)
{
  struct Case {
    const char* what;
    bool stripes;
    PlanarI::PackedPreference preference; // unpacked: through a plane of the op's layout
    bool writesNothing;
  };
  const Case cases[] = {
    {"the target itself", false, PlanarI::ePackedPreferencePacked, true},
    {"in stripes", true, PlanarI::ePackedPreferencePacked, true},
    {"in another layout", false, PlanarI::ePackedPreferenceUnpacked, true},
    {"in stripes, writing", true, PlanarI::ePackedPreferencePacked, false},
    {"in another layout, writing", false, PlanarI::ePackedPreferenceUnpacked, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Node node("Pattern1");
    PatternOp op(&node, Box(0, 0, 8, 80), Mask_RGB);
    op.stripes = c.stripes;
    op.preference = c.preference;
    op.writesNothing = c.writesNothing;
    ImagePlane target(Box(0, 0, 8, 70), true, Mask_RGB);
    host::renderPlane(op, target);
    EXPECT_EQ(host::wasWritten(target), !c.writesNothing);
    EXPECT_EQ(target.at(7, 69, 2), c.writesNothing ? 0.0f : PatternOp::value(7, 69, Chan_Blue));
  }
}
