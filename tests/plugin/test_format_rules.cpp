#include <gtest/gtest.h>

#include "op/FormatRules.h"

using namespace magnifex;

TEST(FormatRules, ScaleFactorAndAlpha)
{
  EXPECT_EQ(scale_factor(0), 2);
  EXPECT_EQ(scale_factor(1), 4);
  // Saved scripts store the entries' indices: mode 0 still, 1 sequence; type 0 plates, 1 CG, 2 hybrid.
  EXPECT_EQ(processing_alpha(render_mode_of(0), material_of(1)), 0); // still mode is always RGB
  EXPECT_EQ(processing_alpha(render_mode_of(1), material_of(0)), 0);
  EXPECT_EQ(processing_alpha(render_mode_of(1), material_of(1)), 1);
  EXPECT_EQ(processing_alpha(render_mode_of(1), material_of(2)), 1);
}

TEST(FormatRules, RequestDivisionTruncatesTowardZero)
{
  EXPECT_EQ(divide_toward_zero(3840, 2), 1920);
  EXPECT_EQ(divide_toward_zero(3841, 2), 1920);
  EXPECT_EQ(divide_toward_zero(-3, 2), -1); // not -2
  EXPECT_EQ(divide_toward_zero(-7, 4), -1);
  EXPECT_EQ(divide_toward_zero(-8, 4), -2);
}

TEST(FormatRules, SplitCountKeepsAtLeastOneContext)
{
  EXPECT_EQ(input_split_count(RenderMode::Still, 5), 1);
  EXPECT_EQ(input_split_count(RenderMode::Sequence, 5), 6);
  EXPECT_EQ(input_split_count(RenderMode::Sequence, 0), 1);
  EXPECT_EQ(input_split_count(RenderMode::Sequence, -4), 1);
}

TEST(PatchCountText, GridOfTheReadOut)
{
  EXPECT_EQ(patch_count_text(1920, 1080, 500, 32, false, true), "Image patches: 15 (5 x 3)");
  EXPECT_EQ(patch_count_text(1920, 1080, 500, 32, true, true), "Image patches: 60 (5 x 3 * 4)");
  // Multisample does not apply in sequence mode.
  EXPECT_EQ(patch_count_text(1920, 1080, 500, 32, true, false), "Image patches: 15 (5 x 3)");
  // Exactly max_size wide steps by 500 - 32 and needs two columns; one pixel less fits one.
  EXPECT_EQ(patch_count_text(500, 100, 500, 32, false, true), "Image patches: 2 (2 x 1)");
  EXPECT_EQ(patch_count_text(499, 100, 500, 32, false, true), "Image patches: 1 (1 x 1)");
  // The overlap is bounded by a third of max_size and by zero.
  EXPECT_EQ(patch_count_text(1000, 80, 90, 500, false, true), "Image patches: 17 (17 x 1)");
  EXPECT_EQ(patch_count_text(1000, 90, 100, -50, false, true), "Image patches: 10 (10 x 1)");
}

TEST(PatchCountText, UndefinedGridsShowADash)
{
  EXPECT_EQ(patch_count_text(0, 0, 500, 32, false, true), "Image patches: -");
  EXPECT_EQ(patch_count_text(1920, 1080, 0, 32, false, true), "Image patches: -");
  EXPECT_EQ(patch_count_text(1920, 1080, -10, 32, false, true), "Image patches: -");
  // More patches than a 32-bit count holds: a dash, not a wrapped number.
  EXPECT_EQ(patch_count_text(2000000000, 2000000000, 1, 0, false, true), "Image patches: -");
  EXPECT_EQ(patch_count_text(100000, 100000, 3, 0, true, true), "Image patches: -");
}
