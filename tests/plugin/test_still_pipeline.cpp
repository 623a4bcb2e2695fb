// The still pipeline's pure parts: log curves, channel fitting and the patch walk with fake networks.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include <ATen/Context.h>
#include <ATen/TensorOperators.h>
#include <ATen/ops/allclose.h>
#include <ATen/ops/arange.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/equal.h>
#include <ATen/ops/full.h>
#include <ATen/ops/rand.h>
#include <ATen/ops/tensor.h>
#include <ATen/ops/zeros.h>
#include <ATen/ops/zeros_like.h>

#include "render/ChannelFitting.h"
#include "render/LogEncoding.h"
#include "render/PatchBlend.h"
#include "render/StillWalk.h"
#include "render/WriteBack.h"

using namespace magnifex;

namespace {

float encode1(float x)
{
  return logEncode(at::full({1}, x)).item<float>();
}
float decode1(float y)
{
  return logDecode(at::full({1}, y)).item<float>();
}

// Each output pixel from its own input pixel alone: nearest-neighbour upscale, then a pointwise map.
NetworkPass per_pixel(int S)
{
  return [S](const at::Tensor& chunk) { return (chunk.repeat_interleave(S, 2).repeat_interleave(S, 3) * 0.5 + 0.25); };
}

at::Tensor test_image(int H, int W)
{
  at::manual_seed(7);
  return at::rand({1, 3, H, W});
}

} // namespace

TEST(LogEncoding, CurveValues)
{
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    float x, encoded;
  };
  // Published LogC (v3, EI 800) values: black, the cut between the linear and the log segment,
  // below black, mid grey, diffuse white and a highlight.
  for (const Case& c : {Case{0.0f, 0.092809f}, Case{0.010591f, 0.149658f}, Case{-0.5f, -2.591019f},
                        Case{0.18f, 0.391007f}, Case{1.0f, 0.570632f}, Case{10.0f, 0.816917f}})
    EXPECT_NEAR(encode1(c.x), c.encoded, 2e-6f) << c.x;
  // Nothing is clamped or cleaned: infinities stay, NaN stays.
  EXPECT_EQ(encode1(inf), inf);
  EXPECT_EQ(encode1(-inf), -inf);
  EXPECT_TRUE(std::isnan(encode1(NAN)));
  EXPECT_TRUE(std::isnan(decode1(NAN)));
  EXPECT_EQ(decode1(inf), inf);
  EXPECT_NEAR(decode1(0.092809f), 0.0f, 1e-7f);
  EXPECT_NEAR(decode1(0.0f), -0.0172904f, 1e-7f);
  // The two slope constants differ slightly, so a round trip is close but not exact.
  EXPECT_NEAR(decode1(encode1(1.0f)), 1.0000028f, 2e-6f);
  EXPECT_NEAR(decode1(encode1(100.0f)), 100.001f, 2e-4f);
}

TEST(ChannelFitting, NetworkInput)
{
  // Channel k of the input holds 10 * (k + 1); a filled channel holds 1.
  auto image = [](int channels) {
    return (at::arange(1, channels + 1, at::kFloat) * 10)
      .view({1, channels, 1, 1})
      .expand({1, channels, 2, 2})
      .contiguous();
  };
  auto values = [](const at::Tensor& t) {
    std::vector<float> v;
    for (int64_t c = 0; c < t.size(1); ++c)
      v.push_back(t[0][c][1][1].item<float>());
    return v;
  };
  struct Case {
    int channels, target;
    std::vector<float> network;
  };
  const Case cases[] = {
    {1, 3, {10, 10, 10}},   {2, 3, {10, 20, 1}},     {3, 3, {10, 20, 30}},
    {4, 3, {10, 20, 30}},   {5, 3, {10, 20, 30}},    {1, 4, {10, 10, 10, 1}},
    {2, 4, {10, 20, 1, 1}}, {3, 4, {10, 20, 30, 1}}, {6, 4, {10, 20, 30, 40}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(values(fit_network_channels(image(c.channels), c.target)), c.network)
      << c.channels << " channels to " << c.target;
}

// The write-back: rows mirrored into the host's order, a pixel's channels side by side, channels
// the accumulator lacks filled with 1, surplus ones dropped, decoded when asked; whatever the
// image's height is against the bands it is written in.
TEST(WriteBack, PlaneLayoutChannelsAndDecode)
{
  for (int rows : {1, 63, 64, 65, 200})
    for (int C : {3, 4})
      for (int n_out : {1, 3, 4, 5})
        for (bool decode : {false, true}) {
          SCOPED_TRACE(testing::Message()
                       << rows << " rows, " << C << " channels into " << n_out << ", decode " << decode);
          const int columns = 7;
          // Pipeline row r, column x, channel c holds 0.01 r + 0.1 x + c.
          const at::Tensor accumulator = at::arange(rows, at::kFloat).mul(0.01).view({1, 1, rows, 1}) +
                                         at::arange(columns, at::kFloat).mul(0.1).view({1, 1, 1, columns}) +
                                         at::arange(C, at::kFloat).view({1, C, 1, 1});
          const at::Tensor expected_values = (decode ? logDecode(accumulator) : accumulator).contiguous();
          const auto e = expected_values.accessor<float, 4>();
          std::vector<float> plane(std::size_t(rows) * columns * n_out, -7.0f);
          write_to_plane(accumulator, plane.data(), plane.size(), n_out, decode, {});
          for (int y = 0; y < rows; ++y)
            for (int x = 0; x < columns; ++x)
              for (int z = 0; z < n_out; ++z) {
                const float expected = z < C ? e[0][z][rows - 1 - y][x] : 1.0f;
                ASSERT_FLOAT_EQ(plane[(std::size_t(y) * columns + x) * n_out + z], expected)
                  << x << ", " << y << ", " << z;
              }
        }
  std::vector<float> small(10);
  EXPECT_THROW(write_to_plane(at::zeros({1, 3, 2, 2}), small.data(), small.size(), 3, false, {}), std::runtime_error);
}

// A network whose every output pixel depends on its own input pixel gives the same image whether
// the frame is cut into patches or not: the cross-fades blend equal values to themselves.
TEST(StillWalk, TiledEqualsWholeForAPerPixelNetwork)
{
  const int H = 61, W = 97;
  const at::Tensor image = test_image(H, W);
  for (int S : {2, 4})
    for (bool multisample : {false, true}) {
      const StillWalkSettings settings{S, multisample, -1};
      const PatchGrid whole = *compute_patch_grid(W, H, 500, 32, 8, multisample);
      const at::Tensor expected = *still_walk(image, whole, settings, per_pixel(S), {});
      ASSERT_EQ(whole.patchCount(), 1);
      EXPECT_TRUE(at::allclose(expected, image.repeat_interleave(S, 2).repeat_interleave(S, 3) * 0.5 + 0.25));
      for (auto [max_size, overlap, padding] : {std::tuple{40, 12, 4}, {30, 9, 0}, {25, 8, 2}, {64, 32, 10}}) {
        SCOPED_TRACE(testing::Message() << "S " << S << " multisample " << multisample << " max " << max_size);
        const PatchGrid tiled = *compute_patch_grid(W, H, max_size, overlap, padding, multisample);
        EXPECT_GT(tiled.patchCount(), 1);
        EXPECT_TRUE(at::equal(*still_walk(image, tiled, settings, per_pixel(S), {}), expected));
      }
    }
}

// The walk cross-fades in a window over the overlaps and writes regions out as they are finished;
// the plane must be what one full-size accumulator written at the end gives, every pixel written once.
TEST(StillWalk, FinishedRegionsWriteWhatAFullAccumulatorGives)
{
  const int H = 83, W = 57;
  const at::Tensor image = test_image(H, W);
  // Each patch's result depends on where the patch is cut, so every cross-fade shows.
  const auto position_dependent = [](int S) -> NetworkPass {
    return [S](const at::Tensor& chunk) {
      const int64_t h = chunk.size(2) * S, w = chunk.size(3) * S;
      const at::Tensor ramp = at::arange(h * w, at::kFloat).view({1, 1, h, w}).div(double(h * w));
      return chunk.repeat_interleave(S, 2).repeat_interleave(S, 3) + ramp;
    };
  };
  for (int S : {2, 4})
    for (auto [max_size, overlap, padding] :
         {std::tuple{30, 9, 2}, {40, 12, 4}, {25, 8, 0}, {500, 32, 8}, {20, 60, 0}}) {
      SCOPED_TRACE(testing::Message() << "S " << S << " max " << max_size);
      const PatchGrid grid = *compute_patch_grid(W, H, max_size, overlap, padding, false);
      const NetworkPass pass = position_dependent(S);
      at::Tensor reference = at::zeros({1, 3, S * H, S * W});
      for (const PatchRect& p : patch_walk(grid, W, H)) {
        const at::Tensor out = pass(image.narrow(3, p.xStart, p.width()).narrow(2, p.yStart, p.height()));
        composite_patch(reference, out, blend_mask(grid, p, int(out.size(2)), int(out.size(3)), S, at::kCPU), p, S);
      }
      const int n_out = 4;
      std::vector<float> expected(std::size_t(S * H) * (S * W) * n_out), streamed(expected.size(), -1.0f);
      write_to_plane(reference, expected.data(), expected.size(), n_out, true, {});
      PlaneWriter writer(streamed.data(), streamed.size(), S * H, S * W, n_out, true);
      at::Tensor times_written = at::zeros({S * H, S * W}, at::kInt);
      const FinishedRegion finished = [&](const at::Tensor& region, int64_t first_row, int64_t first_column) {
        times_written.narrow(0, first_row, region.size(2)).narrow(1, first_column, region.size(3)).add_(1);
        writer.write(region, first_row, first_column);
      };
      ASSERT_TRUE(still_walk_regions(image, grid, {S, false, -1}, pass, {}, finished));
      EXPECT_TRUE(at::equal(times_written, at::ones_like(times_written))) << "pixels handed on twice or never";
      EXPECT_EQ(streamed, expected);
    }
}

TEST(StillWalk, MultisampleRunsFourOrientationsAndCountsEveryPass)
{
  // 2 x 3 patches of a 40 x 70 image.
  const int H = 70, W = 40;
  const PatchGrid grid = *compute_patch_grid(W, H, 30, 6, 2, true);
  ASSERT_EQ(std::tie(grid.columns, grid.rows, grid.inferenceRuns), std::make_tuple(2, 3, 24));

  int passes = 0;
  std::vector<std::pair<int, int>> reports;
  RenderHooks hooks;
  hooks.progress = [&](int done, int total) { reports.emplace_back(done, total); };
  // The network adds ramps across each chunk it is given; averaged over the four orientations, each
  // turned back upright, the ramps become their mean and what remains is the plain upscale.
  const float kx = 0.3f, ky = 0.7f;
  const NetworkPass ramps = [&](const at::Tensor& chunk) {
    ++passes;
    const int64_t h = chunk.size(2) * 2, w = chunk.size(3) * 2;
    const at::Tensor x = at::arange(w, at::kFloat).div(double(w - 1)).mul(kx).view({1, 1, 1, w});
    const at::Tensor y = at::arange(h, at::kFloat).div(double(h - 1)).mul(ky).view({1, 1, h, 1});
    return chunk.repeat_interleave(2, 2).repeat_interleave(2, 3) + x + y;
  };
  const at::Tensor image = test_image(H, W);
  const std::optional<at::Tensor> out = still_walk(image, grid, {2, true, -1}, ramps, hooks);
  ASSERT_TRUE(out);
  EXPECT_EQ(passes, 24);
  int steps = 0;
  for (std::size_t i = 0; i < reports.size(); ++i) {
    EXPECT_EQ(reports[i].second, 24);
    if (i > 0 && reports[i].first == reports[i - 1].first + 1)
      ++steps;
  }
  EXPECT_EQ(steps, 24);
  EXPECT_EQ(reports.back().first, 24);
  const at::Tensor upscale = image.repeat_interleave(2, 2).repeat_interleave(2, 3);
  EXPECT_TRUE(at::allclose(*out, upscale + (kx + ky) / 2, 1e-5, 1e-5));
}

TEST(StillWalk, AbortBetweenPassesStopsTheWalk)
{
  const at::Tensor image = test_image(70, 40);
  for (bool multisample : {false, true})
    for (int abort_after : {1, 2, 3, 5}) {
      SCOPED_TRACE(testing::Message() << "multisample " << multisample << " abort after " << abort_after);
      const PatchGrid grid = *compute_patch_grid(40, 70, 30, 6, 2, multisample);
      int passes = 0;
      RenderHooks hooks;
      hooks.aborted = [&] { return passes >= abort_after; };
      const NetworkPass counting = [&](const at::Tensor& chunk) {
        ++passes;
        return per_pixel(2)(chunk);
      };
      EXPECT_FALSE(still_walk(image, grid, {2, multisample, -1}, counting, hooks));
      EXPECT_EQ(passes, abort_after);
    }
}

TEST(StillWalk, DebugPatchLimitsTheProcessedPatches)
{
  const at::Tensor image = test_image(70, 40);
  const PatchGrid grid = *compute_patch_grid(40, 70, 30, 6, 2, false);
  std::vector<std::string> lines;
  RenderHooks debugging;
  debugging.debug = [&](const std::string& line) { lines.push_back(line); };
  for (int limit : {0, 2, -1}) {
    int passes = 0;
    const NetworkPass counting = [&](const at::Tensor& chunk) {
      ++passes;
      return per_pixel(2)(chunk);
    };
    const at::Tensor out = *still_walk(image, grid, {2, false, limit}, counting, debugging);
    EXPECT_EQ(passes, limit < 0 ? 6 : limit);
    if (limit == 0)
      EXPECT_TRUE(at::equal(out, at::zeros_like(out)));
  }
  // Without debug output the limit does nothing.
  int passes = 0;
  const NetworkPass counting = [&](const at::Tensor& chunk) {
    ++passes;
    return per_pixel(2)(chunk);
  };
  still_walk(image, grid, {2, false, 0}, counting, {});
  EXPECT_EQ(passes, 6);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Processing image patch: 5, with pixel coordinates:"), lines.end());
}

TEST(StillWalk, ErrorTextSinglesOutGpuMemory)
{
  struct Case {
    const char* what;
    const char* error;
  };
  for (const Case& c : {Case{"CUDA out of memory. Tried to allocate 2.00 GiB",
                             "Error during image patch processing (out of GPU memory)"},
                        Case{"cuDNN error: Unable to find a valid cuDNN algorithm to run convolution",
                             "Error during image patch processing (out of GPU memory)"},
                        Case{"The size of tensor a (3) must match", "Error during image patch processing"},
                        Case{"", "Error during image patch processing"}})
    EXPECT_STREQ(patch_error_text(c.what), c.error) << c.what;
}
