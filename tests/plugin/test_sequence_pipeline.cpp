// Sequence mode's pure parts: flow padding, warp, space-to-depth, the alpha material and the step.
#include <gtest/gtest.h>

#include <ATen/Context.h>
#include <ATen/TensorOperators.h>
#include <ATen/ops/allclose.h>
#include <ATen/ops/arange.h>
#include <ATen/ops/equal.h>
#include <ATen/ops/full.h>
#include <ATen/ops/pixel_shuffle.h>
#include <ATen/ops/rand.h>
#include <ATen/ops/tensor.h>
#include <ATen/ops/zeros.h>

#include "render/LogEncoding.h"
#include "render/sequence/AlphaMaterial.h"
#include "render/sequence/FlowPadding.h"
#include "render/sequence/FlowWarp.h"
#include "render/sequence/RecurrentStep.h"

using namespace magnifex;

namespace {

at::Tensor random_image(int C, int H, int W, int seed = 3)
{
  at::manual_seed(seed);
  return at::rand({1, C, H, W});
}

// The inverse of the plug-in's space_to_depth, written from its channel rule: channel (i*s + j)*C + c
// is input channel c at row offset i, column offset j.
at::Tensor depth_to_space(const at::Tensor& x, int s)
{
  const int64_t C = x.size(1) / (s * s), h = x.size(2), w = x.size(3);
  at::Tensor out = at::zeros({1, C, h * s, w * s});
  for (int i = 0; i < s; ++i)
    for (int j = 0; j < s; ++j)
      for (int64_t c = 0; c < C; ++c)
        out.select(1, c).slice(1, i, h * s, s).slice(2, j, w * s, s).copy_(x.select(1, (i * s + j) * C + c));
  return out;
}

} // namespace

TEST(FlowPadding, MultiplesOfEightAndAtLeast128)
{
  struct Case {
    int h, w, bottom, right;
  };
  for (const Case& c : {Case{60, 100, 68, 28}, Case{500, 512, 4, 8}, Case{512, 512, 0, 0}, Case{128, 136, 0, 0},
                        Case{129, 200, 7, 8}, Case{1, 1, 127, 127}}) {
    SCOPED_TRACE(testing::Message() << c.w << " x " << c.h);
    const FlowPadding p = flow_padding(c.h, c.w);
    EXPECT_EQ(std::make_pair(p.bottom, p.right), std::make_pair(c.bottom, c.right));
    const at::Tensor patch = random_image(4, c.h, c.w);
    const at::Tensor padded = pad_for_flow(patch, p);
    EXPECT_EQ(padded.sizes(), (std::vector<int64_t>{1, 3, c.h + c.bottom, c.w + c.right}));
    EXPECT_TRUE(at::equal(padded.narrow(2, 0, c.h).narrow(3, 0, c.w), patch.narrow(1, 0, 3)));
    EXPECT_EQ(padded.sum().item<float>(), patch.narrow(1, 0, 3).sum().item<float>()); // zeros around
    EXPECT_EQ(crop_flow(padded, p, c.h, c.w).sizes(), (std::vector<int64_t>{1, 3, c.h, c.w}));
  }
}

TEST(SpaceToDepth, BlockOrderIsChannelsInnermost)
{
  const at::Tensor x = at::arange(3 * 8 * 8, at::kFloat).view({1, 3, 8, 8});
  const at::Tensor y = space_to_depth(x, 4);
  ASSERT_EQ(y.sizes(), (std::vector<int64_t>{1, 48, 2, 2}));
  // Channels 0 to 2: the top-left pixel of each 4 x 4 block, colour by colour.
  for (int c = 0; c < 3; ++c)
    for (int by = 0; by < 2; ++by)
      for (int bx = 0; bx < 2; ++bx)
        EXPECT_EQ(y[0][c][by][bx].item<float>(), x[0][c][by * 4][bx * 4].item<float>());
  for (int s : {2, 4}) {
    const at::Tensor image = random_image(4, 8, 12);
    EXPECT_TRUE(at::equal(depth_to_space(space_to_depth(image, s), s), image)) << s;
  }
  EXPECT_THROW(space_to_depth(random_image(3, 6, 8), 4), std::invalid_argument);
}

TEST(WarpByFlow, ZeroFlowKeepsAndWholePixelsTranslate)
{
  const at::Tensor image = random_image(3, 9, 13);
  const at::Tensor zero = at::zeros({1, 2, 9, 13});
  EXPECT_TRUE(at::allclose(warp_by_flow(image, zero), image, 1e-5, 1e-6));

  // Each pixel takes the value 2 columns right and 1 row up of it; beyond the edge the border value.
  at::Tensor flow = at::zeros({1, 2, 9, 13});
  flow.select(1, 0).fill_(2.0);
  flow.select(1, 1).fill_(-1.0);
  const at::Tensor warped = warp_by_flow(image, flow);
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 13; ++x) {
      const int sx = std::min(x + 2, 12), sy = std::max(y - 1, 0);
      ASSERT_NEAR(warped[0][1][y][x].item<float>(), image[0][1][sy][sx].item<float>(), 1e-5) << x << ", " << y;
    }
  // The flow is upscaled with the image: one input pixel is s output pixels.
  EXPECT_TRUE(at::allclose(upscale_flow(flow, 4),
                           at::full({1, 1, 1, 1}, 4.0) * flow.repeat_interleave(4, 2).repeat_interleave(4, 3)));
}

TEST(AlphaMaterial, BothPathsEncodeColourAsTheirNetworksExpect)
{
  // One pixel each: (r, g, b, a).
  struct Case {
    float r, g, b, a;
  };
  for (const Case& c : {Case{0.5f, 0.2f, 0.8f, 0.0f}, Case{0.5f, 0.2f, 0.8f, 1.0f}, Case{0.3f, -0.4f, 0.1f, 0.5f},
                        Case{0.3f, 0.4f, 0.1f, 1.7f}, Case{0.3f, 0.4f, 0.1f, -0.2f}}) {
    SCOPED_TRACE(testing::Message() << c.r << " " << c.g << " " << c.b << " " << c.a);
    const at::Tensor rgba = at::tensor({c.r, c.g, c.b, c.a}).view({1, 4, 1, 1});
    const at::Tensor main = prepare_alpha_input(rgba);
    const at::Tensor variant = colour_variant(main);
    const float a = std::clamp(c.a, 0.0f, 1.0f);
    EXPECT_FLOAT_EQ(main[0][3][0][0].item<float>(), a);
    for (int k = 0; k < 3; ++k) {
      const float colour = std::max((&c.r)[k], 0.0f);
      const float unpremultiplied = a > 0.0f ? colour / a : 0.0f;
      const float main_expected = a > 0.0f ? logEncode(at::full({1}, unpremultiplied)).item<float>() * a : 0.0f;
      EXPECT_NEAR(main[0][k][0][0].item<float>(), main_expected, 1e-6) << k;
      // The B path: the encoding of premultiplied linear colour; transparent pixels are black.
      const float premultiplied = a > 0.0f ? colour : 0.0f;
      EXPECT_NEAR(variant[0][k][0][0].item<float>(), logEncode(at::full({1}, premultiplied)).item<float>(), 2e-5) << k;
    }
  }
  // Alpha 0 enters the B path as the encoding of black.
  EXPECT_NEAR(colour_variant(prepare_alpha_input(at::zeros({1, 4, 1, 1})))[0][0][0][0].item<float>(), 0.092809f, 1e-7);

  // The result: colour from the B path, decoded and clamped; alpha from the main path.
  const at::Tensor hr_prev = at::tensor({0.1f, 0.2f, 0.3f, 1.4f}).view({1, 4, 1, 1});
  const at::Tensor hr_prevB = at::tensor({0.5f, -0.3f, 0.092809f, 1.0f}).view({1, 4, 1, 1});
  const at::Tensor result = recombine_alpha(hr_prev, hr_prevB);
  EXPECT_NEAR(result[0][0][0][0].item<float>(), logDecode(at::full({1}, 0.5f)).item<float>(), 1e-7);
  EXPECT_NEAR(result[0][1][0][0].item<float>(), logDecode(at::full({1}, 0.0f)).item<float>(), 1e-7);
  EXPECT_NEAR(result[0][2][0][0].item<float>(), 0.0f, 1e-7);
  EXPECT_EQ(result[0][3][0][0].item<float>(), 1.0f);
}

// With a flow that says "everything moved by (dx, dy)" and a network that returns the warped previous
// result it is given, one step moves the carried state by that shift at output resolution.
TEST(RecurrentStep, ConstantFlowMovesTheCarriedState)
{
  const int s = 2, h = 12, w = 16;
  const at::Tensor tensor_image = random_image(3, h, w, 5);
  PatchState state = initial_patch_state(tensor_image, Material::Plates, s);
  state.hr_prev = random_image(3, s * h, s * w, 9);
  SequenceNetworks networks;
  int flow_calls = 0;
  networks.flow = [&](const at::Tensor& current, const at::Tensor& previous) {
    ++flow_calls;
    EXPECT_EQ(current.sizes(), previous.sizes());
    EXPECT_EQ(current.size(2) % 8 + current.size(3) % 8, 0);
    at::Tensor flow = at::zeros({1, 2, current.size(2), current.size(3)});
    flow.select(1, 0).fill_(1.0); // one input pixel to the right
    return flow;
  };
  networks.main = [&](const at::Tensor& lr, const at::Tensor& hr_spacedepth) {
    EXPECT_EQ(hr_spacedepth.size(1), s * s * lr.size(1));
    return depth_to_space(hr_spacedepth, s);
  };
  int points = 0;
  const std::optional<StepResult> step = recurrent_step(
    tensor_image, state, Material::Plates, s, networks, [&] { return ++points > 99; }, {}, false);
  ASSERT_TRUE(step);
  EXPECT_EQ(points, 4);
  EXPECT_EQ(flow_calls, 1);
  // Away from the right border, output pixel x holds what was at x + s.
  EXPECT_TRUE(at::allclose(step->hr_curr.narrow(3, 0, s * w - s), state.hr_prev.narrow(3, s, s * w - s), 1e-5, 1e-5));

  // An abort at any of the four points ends the step with nothing.
  for (int abort_at = 1; abort_at <= 4; ++abort_at) {
    int seen = 0;
    EXPECT_FALSE(recurrent_step(
      tensor_image, state, Material::Plates, s, networks, [&] { return ++seen >= abort_at; }, {}, false));
    EXPECT_EQ(seen, abort_at);
  }
}

TEST(RecurrentStep, LastLineOfAnExceptionText)
{
  struct Case {
    const char* text;
    const char* last;
  };
  for (const Case& c : {Case{"one line", "one line"}, Case{"first\nsecond", "second"},
                        Case{"first\nsecond\n", "second\n"}, Case{"a\nb\nc", "c"}, Case{"\n", "\n"}, Case{"", ""}})
    EXPECT_EQ(last_line_of(c.text), c.last) << c.text;
}
