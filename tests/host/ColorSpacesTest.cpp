// Colour spaces of image files. Expected values come from the curves' definitions (Cineon: black
// at code 95, white at 685, 0.002 density per code, gamma 0.6; sRGB: the piecewise curve with
// 0.04045 / 12.92 and 2.4), computed apart from this code.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "imagefiles/ColorSpaces.h"
#include "imagefiles/ImageFiles.h"

using namespace render_command;

TEST(ColorSpaces, NamesInAndOut)
{
  EXPECT_EQ(defaultColorSpace(true), "linear");
  EXPECT_EQ(defaultColorSpace(false), "sRGB");
  const std::vector<std::string> listed = colorSpaceNames();
  for (const char* name : {"linear", "Cineon"}) {
    EXPECT_TRUE(isKnownColorSpace(name)) << name;
    EXPECT_NE(std::find(listed.begin(), listed.end(), name), listed.end()) << name;
  }
  EXPECT_FALSE(isKnownColorSpace("no such space"));
  if (imageFilesAvailable())
    EXPECT_TRUE(isKnownColorSpace("sRGB"));
}

TEST(ColorSpaces, ColourChannelsAreFoundByTheirFileNames)
{
  struct Case {
    std::vector<std::string> names;
    int r, g, b;
  };
  const std::vector<Case> cases{
    {{"R", "G", "B", "A"}, 0, 1, 2},
    {{"A", "B", "G", "R"}, 3, 2, 1},
    {{"Y", "A"}, 0, -1, -1},               // a luminance file: its grey stands in for red
    {{"Y", "R"}, 1, -1, -1},               // red wins over grey
    {{"A", "Z", "diffuse.R"}, -1, -1, -1}, // data, and layers' channels, are not converted
  };
  for (const Case& c : cases) {
    const ColorChannels found = colorChannelsOf(c.names);
    EXPECT_EQ(found.slot[0], c.r) << c.names.size();
    EXPECT_EQ(found.slot[1], c.g) << c.names.size();
    EXPECT_EQ(found.slot[2], c.b) << c.names.size();
    EXPECT_EQ(found.empty(), c.r < 0 && c.g < 0 && c.b < 0);
  }
}

TEST(ColorSpaces, CineonCurveBothWays)
{
  struct Case {
    int code;
    float linear;
  };
  const std::vector<Case> cases{{0, -0.00565082f}, {95, 0.0f}, {445, 0.14930371f}, {685, 1.0f}, {1023, 13.5216946f}};
  for (const Case& c : cases) {
    const float code = float(c.code) / 1023.0f;
    EXPECT_NEAR(cineonToLinear(code), c.linear, 2e-5f * std::max(1.0f, c.linear)) << c.code;
    EXPECT_NEAR(linearToCineon(c.linear), code, 1e-5f) << c.code;
  }
}

// Pixels of R, A, G, B (alpha between the colours, as files may order them): colour converted,
// alpha left alone; a grey-only file converts its grey.
TEST(ColorSpaces, ConversionsAgreeWithTheCurves)
{
  if (!imageFilesAvailable())
    GTEST_SKIP() << "built without image files: no conversions";
  struct Case {
    std::string from, to;
    float in, out;
  };
  const std::vector<Case> cases{
    {"sRGB", "linear", 0.5f, 0.21404114f},
    {"sRGB", "linear", 0.02f, 0.00154799f}, // the straight segment
    {"linear", "sRGB", 0.18f, 0.46135613f},
    {"Cineon", "sRGB", 445.0f / 1023.0f, 0.42265597f}, // through the working space
    {"linear", "linear", 0.3f, 0.3f},
  };
  const ColorChannels rgb = colorChannelsOf({"R", "A", "G", "B"});
  const ColorChannels grey = colorChannelsOf({"Y"});
  for (const Case& c : cases) {
    std::vector<float> pixels{c.in, 0.25f, c.in, c.in, c.in, 0.75f, c.in, c.in};
    convertColorSpace(pixels.data(), 2, 4, rgb, c.from, c.to);
    const std::vector<float> expected{c.out, 0.25f, c.out, c.out, c.out, 0.75f, c.out, c.out};
    for (std::size_t i = 0; i < pixels.size(); ++i)
      EXPECT_NEAR(pixels[i], expected[i], 1e-4f) << c.from << " to " << c.to << " at " << i;
    float y = c.in;
    convertColorSpace(&y, 1, 1, grey, c.from, c.to);
    EXPECT_NEAR(y, c.out, 1e-4f) << c.from << " to " << c.to << " (grey)";
  }
  std::vector<float> pixel{0.5f, 0.5f, 0.5f};
  EXPECT_THROW(convertColorSpace(pixel.data(), 1, 3, colorChannelsOf({"R", "G", "B"}), "no such space", "linear"),
               std::runtime_error);
}
