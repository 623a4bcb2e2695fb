#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "DDImage/ChannelSet.h"

using namespace DD::Image;

namespace {

std::string text(const ChannelSet& s)
{
  std::ostringstream o;
  o << s;
  return o.str();
}

std::vector<Channel> members(const ChannelSet& s)
{
  std::vector<Channel> out;
  for (Channel c = s.first(); c != Chan_Black; c = s.next(c))
    out.push_back(c);
  return out;
}

} // namespace

TEST(ChannelSet, IteratesInChannelNumberOrder)
{
  const Channel extra = getChannel("test.iterate");
  ChannelSet s;
  s += extra;
  s += Chan_Alpha;
  s += Chan_Red;
  EXPECT_EQ(members(s), (std::vector<Channel>{Chan_Red, Chan_Alpha, extra}));
  EXPECT_EQ(s.size(), 3u);
  EXPECT_EQ(s.first(), Chan_Red);
  EXPECT_EQ(s.last(), extra);
  EXPECT_EQ(members(ChannelSet()), std::vector<Channel>{});
  EXPECT_EQ(ChannelSet().first(), Chan_Black);

  ChannelSet all(Mask_All);
  EXPECT_EQ(all.size(), unsigned(Chan_Last));
  EXPECT_EQ(all.last(), Chan_Last);
  EXPECT_EQ(all.next(Chan_Last), Chan_Black);

  ChannelSet rgba(Mask_RGBA);
  rgba &= ChannelSet(Mask_RGB);
  EXPECT_EQ(rgba, ChannelSet(Mask_RGB));
  EXPECT_FALSE(rgba.contains(Chan_Alpha));
  rgba.insert(Chan_Black); // not a channel
  EXPECT_EQ(rgba.size(), 3u);
}

TEST(ChannelSet, PrintsAsTheHostDoes)
{
  EXPECT_EQ(text(Mask_RGB), "rgb");
  EXPECT_EQ(text(Mask_RGBA), "rgba");
  EXPECT_EQ(text(ChannelSet()), "none");
  EXPECT_EQ(text(Mask_All), "all");
  ChannelSet s(Chan_Green);
  s += Chan_Z;
  EXPECT_EQ(text(s), "{rgba.green, depth.Z}");
  EXPECT_EQ(text(ChannelSet(Chan_Alpha)), "{rgba.alpha}");
}

TEST(Channel, NamesRoundTripAndNewChannelsAreMadeOnce)
{
  EXPECT_STREQ(getName(Chan_Red), "rgba.red");
  EXPECT_STREQ(getName(Chan_Z), "depth.Z");
  EXPECT_EQ(getChannel("rgba.alpha"), Chan_Alpha);
  const Channel made = getChannel("motion.u");
  EXPECT_GT(made, Chan_Z);
  EXPECT_EQ(getChannel("motion.u"), made);
  EXPECT_STREQ(getName(made), "motion.u");
  EXPECT_EQ(getChannel(""), Chan_Black);
  EXPECT_EQ(getChannel(nullptr), Chan_Black);
  EXPECT_STREQ(getName(Chan_Black), "none");
}
