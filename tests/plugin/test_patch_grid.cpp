// The patch grid, its walk and the cross-fade weights.
#include <gtest/gtest.h>

#include <ATen/ops/equal.h>
#include <ATen/ops/ones.h>
#include <ATen/ops/ones_like.h>
#include <ATen/ops/zeros.h>

#include "render/PatchBlend.h"
#include "render/PatchGrid.h"

using namespace magnifex;

namespace {

using Span = std::pair<int, int>;

std::vector<Span> column_spans(const std::vector<PatchRect>& walk)
{
  std::vector<Span> spans;
  for (const PatchRect& p : walk)
    if (p.row == 0)
      spans.emplace_back(p.xStart, p.xEnd);
  return spans;
}

std::vector<Span> row_spans(const std::vector<PatchRect>& walk)
{
  std::vector<Span> spans;
  for (const PatchRect& p : walk)
    if (p.column == 0)
      spans.emplace_back(p.yStart, p.yEnd);
  return spans;
}

} // namespace

TEST(PatchGrid, WorkedExamples)
{
  struct Case {
    int W, H, max_size, overlap, padding;
    bool multisample;
    PatchGrid expected;
    std::vector<Span> columns, rows;
  };
  const Case cases[] = {
    // The defaults on a 1920 x 1080 frame.
    {1920,
     1080,
     500,
     32,
     8,
     false,
     {416, 392, 32, 32, 8, 8, 5, 3, 15},
     {{0, 416}, {384, 800}, {768, 1184}, {1152, 1568}, {1536, 1920}},
     {{0, 392}, {360, 752}, {720, 1080}}},
    {1920, 1080, 500, 32, 8, true, {416, 392, 32, 32, 8, 8, 5, 3, 60}, {}, {}},
    // Exactly max_size wide keeps the overlap and needs two columns; one pixel less fits one patch.
    {500, 100, 500, 32, 8, false, {282, 100, 32, 0, 8, 0, 2, 1, 2}, {{0, 282}, {250, 500}}, {{0, 100}}},
    {499, 100, 500, 32, 8, false, {499, 100, 0, 0, 0, 0, 1, 1, 1}, {{0, 499}}, {{0, 100}}},
    // Overlap is cut to a third of max_size, padding to a third of the overlap; negatives count as 0.
    {1000, 1000, 90, 500, 500, false, {89, 89, 30, 30, 10, 10, 17, 17, 289}, {}, {}},
    {1000, 1000, 100, -5, -5, false, {100, 100, 0, 0, 0, 0, 10, 10, 100}, {}, {}},
    // Rebalanced patches that reach the far edge before the count runs out end the row there.
    {4090, 60, 132, 44, 8, false, {132, 60, 44, 0, 8, 0, 46, 1, 46}, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.W << "x" << c.H << " max " << c.max_size << " overlap " << c.overlap);
    const std::optional<PatchGrid> g = compute_patch_grid(c.W, c.H, c.max_size, c.overlap, c.padding, c.multisample);
    ASSERT_TRUE(g);
    EXPECT_EQ(std::tie(g->patchWidth, g->patchHeight, g->overlapX, g->overlapY, g->padX, g->padY),
              std::tie(c.expected.patchWidth, c.expected.patchHeight, c.expected.overlapX, c.expected.overlapY,
                       c.expected.padX, c.expected.padY));
    EXPECT_EQ(std::tie(g->columns, g->rows, g->inferenceRuns),
              std::tie(c.expected.columns, c.expected.rows, c.expected.inferenceRuns));
    const std::vector<PatchRect> walk = patch_walk(*g, c.W, c.H);
    if (!c.columns.empty())
      EXPECT_EQ(column_spans(walk), c.columns);
    if (!c.rows.empty())
      EXPECT_EQ(row_spans(walk), c.rows);
  }
}

TEST(PatchGrid, UndefinedGrids)
{
  EXPECT_FALSE(compute_patch_grid(0, 10, 500, 32, 8, false));
  EXPECT_FALSE(compute_patch_grid(10, -1, 500, 32, 8, false));
  EXPECT_FALSE(compute_patch_grid(100, 100, 0, 32, 8, false));
  // More passes than a 32-bit progress count holds.
  EXPECT_FALSE(compute_patch_grid(2000000000, 2000000000, 1, 0, 0, false));
}

// Whatever the settings, the walk tiles the image: origin to far edge, neighbours sharing exactly the
// overlap, nothing outside, rows outer and columns inner, flags on the last ones only.
TEST(PatchGrid, WalkTilesTheImage)
{
  for (int W : {1, 7, 64, 499, 500, 1921, 4090})
    for (int max_size : {1, 2, 17, 132, 500})
      for (int overlap : {0, 8, 44}) {
        SCOPED_TRACE(testing::Message() << "W " << W << " max " << max_size << " overlap " << overlap);
        const int H = 37;
        const std::optional<PatchGrid> g = compute_patch_grid(W, H, max_size, overlap, 8, false);
        ASSERT_TRUE(g);
        const std::vector<PatchRect> walk = patch_walk(*g, W, H);
        ASSERT_EQ(int(walk.size()), g->patchCount());
        for (std::size_t k = 0; k < walk.size(); ++k) {
          const PatchRect& p = walk[k];
          EXPECT_EQ(p.index, int(k));
          EXPECT_EQ(p.row * g->columns + p.column, p.index);
          EXPECT_GE(p.xStart, 0);
          EXPECT_LT(p.xStart, p.xEnd);
          EXPECT_LE(p.xEnd, W);
          EXPECT_LE(p.width(), g->patchWidth);
          EXPECT_EQ(p.lastColumn, p.column == g->columns - 1);
          EXPECT_EQ(p.lastRow, p.row == g->rows - 1);
          if (p.column == 0)
            EXPECT_EQ(p.xStart, 0);
          else
            EXPECT_EQ(walk[k - 1].xEnd - p.xStart, g->overlapX);
          if (p.lastColumn)
            EXPECT_EQ(p.xEnd, W);
          else
            EXPECT_LT(p.xEnd, W);
        }
      }
}

TEST(BlendMask, AxisWeightsAtTwoTimesWithTheDefaults)
{
  // Pad 8 and overlap 32 source pixels at 2x: 16 and 64 output pixels.
  const int n = 300;
  const at::Tensor middle = axis_weights(n, 16, 64, false, false);
  const at::Tensor first = axis_weights(n, 16, 64, true, false);
  const at::Tensor last = axis_weights(n, 16, 64, false, true);
  auto at_ = [](const at::Tensor& w, int i) { return w[i].item<float>(); };
  for (int i = 0; i <= 16; ++i)
    EXPECT_EQ(at_(middle, i), 0.0f) << i;
  EXPECT_FLOAT_EQ(at_(middle, 32), 0.5f);
  for (int i = 48; i <= n - 16; ++i) {
    EXPECT_EQ(at_(middle, i), 1.0f) << i;
    EXPECT_EQ(at_(last, i), 1.0f) << i;
  }
  EXPECT_FLOAT_EQ(at_(middle, n - 12), 1.0f - 4.0f / 7.0f);
  for (int i = n - 9; i < n; ++i) {
    EXPECT_EQ(at_(middle, i), 0.0f) << i;
    EXPECT_EQ(at_(first, i), 0.0f) << i;
    EXPECT_EQ(at_(last, i), 1.0f) << i;
  }
  for (int i = 0; i <= n - 16; ++i)
    EXPECT_EQ(at_(first, i), 1.0f) << i;
  EXPECT_TRUE(at::equal(last.narrow(0, 0, 48), middle.narrow(0, 0, 48)));

  // Without padding the rise spans the whole overlap and nothing fades out.
  const at::Tensor unpadded = axis_weights(n, 0, 64, false, false);
  EXPECT_EQ(at_(unpadded, 0), 0.0f);
  EXPECT_FLOAT_EQ(at_(unpadded, 32), 0.5f);
  EXPECT_EQ(at_(unpadded, 64), 1.0f);
  EXPECT_EQ(at_(unpadded, n - 1), 1.0f);
}

// Patches that all say 1 composite to exactly 1 everywhere: no darkened or brightened seam, for
// every grid shape, both scales, with or without padding, and without any overlap (0, or a negative
// value, which counts as 0).
TEST(BlendMask, ConstantPatchesLeaveNoSeam)
{
  struct Case {
    int W, H, max_size, overlap, padding;
  };
  for (const Case& c :
       {Case{300, 200, 100, 32, 8}, Case{300, 200, 100, 32, 0}, Case{500, 120, 500, 32, 8}, Case{4090, 20, 132, 44, 8},
        Case{97, 61, 30, 9, 3}, Case{100, 90, 40, 0, 8}, Case{100, 90, 40, -7, 0}, Case{100, 90, 40, 1, 0}})
    for (int S : {2, 4}) {
      SCOPED_TRACE(testing::Message() << c.W << "x" << c.H << " max " << c.max_size << " S " << S);
      const PatchGrid g = *compute_patch_grid(c.W, c.H, c.max_size, c.overlap, c.padding, false);
      at::Tensor accumulator = at::zeros({1, 3, S * c.H, S * c.W});
      for (const PatchRect& p : patch_walk(g, c.W, c.H)) {
        const at::Tensor result = at::ones({1, 4, S * p.height(), S * p.width()});
        composite_patch(accumulator, result, blend_mask(g, p, S * p.height(), S * p.width(), S, at::kCPU), p, S);
      }
      EXPECT_TRUE(at::equal(accumulator, at::ones_like(accumulator)));
    }
}
