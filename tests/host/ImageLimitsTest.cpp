#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imagefiles/ImageLimits.h"

using render_command::DeclaredImage;
using render_command::imageSizeProblem;

// Edges computed from the limits' definitions: coordinates within ±(2^31 - 1) / 4 (536870911),
// at most 2^34 bytes of float samples.
TEST(ImageLimits, RefusesWhatCannotBeHeldAndNamesWhy)
{
  auto image = [](std::int64_t x, std::int64_t y, std::int64_t w, std::int64_t h, std::int64_t channels) {
    DeclaredImage d;
    d.x = x;
    d.y = y;
    d.width = w;
    d.height = h;
    d.fullX = d.fullY = 0;
    d.fullWidth = 16;
    d.fullHeight = 16;
    d.channels = channels;
    return d;
  };
  DeclaredImage tallDisplay = image(0, 0, 1, 1, 3);
  tallDisplay.fullHeight = 536870911;                    // the host's rows, flipped in it, still fit
  DeclaredImage lowData = image(0, -536870911, 1, 1, 3); // fits as a file row, not as a host row
  DeclaredImage emptyDisplay = image(0, 0, 4, 4, 3);
  emptyDisplay.fullWidth = 0;
  struct Case {
    const char* what;
    DeclaredImage image;
    const char* problem; // "": fine
  };
  const std::vector<Case> cases{
    {"a plate", image(0, 0, 16, 16, 4), ""},
    {"a data window beyond the display window", image(-8, -8, 32, 32, 4), ""},
    {"reaching the largest coordinate", image(536870911 - 4, 0, 4, 1, 1), ""},
    {"one beyond it", image(536870911 - 3, 0, 4, 1, 1), "too far out"},
    {"far to the left", image(-536870912, 0, 4, 1, 1), "too far out"},
    {"at 1e9", image(1000000000, 1000000000, 4, 4, 3), "too far out"},
    {"2147483647 squared", image(0, 0, 2147483647, 2147483647, 3), "too far out"},
    {"a tall display window", tallDisplay, ""},
    {"rows flipped beyond reach", lowData, "data window too far from the display window"},
    {"exactly 16 GiB of samples", image(0, 0, 65536, 65536, 1), ""},
    {"a row more", image(0, 0, 65536, 65537, 1), "image too large (65536 x 65537 pixels of 1 channels; at most 16 GiB"},
    {"many channels", image(0, 0, 1, 1, std::int64_t(1) << 40), "image too large"},
    {"no pixels", image(0, 0, 0, 0, 3), "empty image (0 x 0 pixels)"},
    {"a negative width", image(0, 0, -5, 3, 3), "empty image (-5 x 3 pixels)"},
    {"no display window", emptyDisplay, "empty display window"},
    {"no channels", image(0, 0, 4, 4, 0), "no channels"},
  };
  for (const Case& c : cases) {
    const std::string problem = imageSizeProblem(c.image);
    if (std::string(c.problem).empty())
      EXPECT_EQ(problem, "") << c.what;
    else
      EXPECT_NE(problem.find(c.problem), std::string::npos) << c.what << ": " << problem;
  }
}
