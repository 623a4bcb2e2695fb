// NaN and infinite input values through the still and sequence pipelines: they come back at their
// own place, and no other pixel, later frame or carried state sees them.
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include <ATen/TensorOperators.h>
#include <ATen/ops/avg_pool2d.h>
#include <ATen/ops/equal.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/full.h>
#include <ATen/ops/full_like.h>
#include <ATen/ops/isfinite.h>
#include <ATen/ops/upsample_nearest2d.h>
#include <ATen/ops/zeros.h>

#include "render/LogEncoding.h"
#include "render/NonFiniteValues.h"
#include "render/StillWalk.h"
#include "render/WriteBack.h"
#include "render/sequence/SequenceFrame.h"

using namespace magnifex;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kBase = 0.5f;

// A bad value in channel c at pipeline row y (from the top), column x.
struct BadValue {
  int c, y, x;
  float value;
};

// A constant kBase image [1, 3, H, W] in host row order (bottom to top) with the bad values.
at::Tensor host_image(int W, int H, const std::vector<BadValue>& bad)
{
  at::Tensor t = at::full({1, 3, H, W}, kBase);
  for (const BadValue& b : bad)
    t[0][b.c][H - 1 - b.y][b.x] = b.value;
  return t;
}

// A network with reach: each output pixel mixes a 3 x 3 neighbourhood, so a value it is handed
// would spread to the pixels around its own.
at::Tensor reaching(const at::Tensor& x, int S)
{
  const at::Tensor mixed = at::avg_pool2d(x, {3, 3}, {1, 1}, {1, 1}, false, false);
  return at::upsample_nearest2d(mixed, {x.size(2) * S, x.size(3) * S});
}

bool same_value(float a, float b)
{
  return (std::isnan(a) && std::isnan(b)) || a == b;
}

// Every output pixel of the upscaled image [C, S*H, S*W] (pipeline rows): the bad value in the
// S x S block of its own pixel, `clean` everywhere else.
void expect_contained(const at::Tensor& out_tensor, const at::Tensor& clean_tensor, const std::vector<BadValue>& bad,
                      int S)
{
  const at::Tensor out_cpu = out_tensor.contiguous(), clean_cpu = clean_tensor.contiguous();
  const auto out = out_cpu.accessor<float, 3>();
  const auto clean = clean_cpu.accessor<float, 3>();
  const int C = int(out.size(0)), OH = int(out.size(1)), OW = int(out.size(2));
  for (int c = 0; c < C; ++c)
    for (int y = 0; y < OH; ++y)
      for (int x = 0; x < OW; ++x) {
        float expected = clean[c][y][x];
        for (const BadValue& b : bad)
          if (b.c == c && b.y == y / S && b.x == x / S)
            expected = b.value;
        const float got = out[c][y][x];
        ASSERT_TRUE(same_value(got, expected))
          << "channel " << c << " pixel " << x << ", " << y << ": " << got << " where " << expected << " belongs";
      }
}

const std::vector<std::vector<BadValue>> kBadCases = {
  {{0, 3, 5, kNaN}},                                                    // one NaN in red
  {{1, 0, 0, kInf}},                                                    // +inf in a corner
  {{2, 7, 11, -kInf}},                                                  // -inf at the far corner
  {{0, 4, 6, kNaN}, {1, 4, 6, kNaN}, {2, 4, 6, kNaN}},                  // a whole pixel
  {{1, 2, 2, kNaN}, {1, 2, 3, kInf}, {1, 3, 2, kNaN}, {1, 3, 3, kNaN}}, // a 2 x 2 hole in green
};

} // namespace

// The stand-ins are finite, keep every finite value, and take the local level: in a constant image
// a hole is filled with that constant, however large, and a channel with nothing finite takes 0.
TEST(NonFiniteValues, StandInsAreFiniteLocalAndLeaveFiniteValues)
{
  for (const std::vector<BadValue>& bad : kBadCases) {
    const at::Tensor image = host_image(12, 8, bad);
    const at::Tensor filled = with_finite_stand_ins(image);
    EXPECT_TRUE(at::equal(filled, at::full_like(image, kBase)));
  }
  at::Tensor hole = at::full({1, 1, 40, 40}, 0.25f);
  hole.narrow(2, 5, 30).narrow(3, 5, 30).fill_(kNaN); // wider than the neighbourhood's rounds reach
  EXPECT_TRUE(at::equal(with_finite_stand_ins(hole), at::full_like(hole, 0.25f)));
  EXPECT_TRUE(at::equal(with_finite_stand_ins(at::full({1, 1, 4, 4}, kNaN)), at::zeros({1, 1, 4, 4})));
  at::Tensor huge = at::full({1, 1, 5, 5}, 3e38f);
  huge[0][0][2][2] = kNaN;
  EXPECT_TRUE(at::isfinite(with_finite_stand_ins(huge)).all().item<bool>());
}

// Still mode, as the node runs it: input, patch walk with a network that reaches its neighbours,
// write-back. For one patch and for several overlapping ones, at both scales.
TEST(NonFiniteValues, StillPipelineKeepsThemAtTheirOwnPixels)
{
  const int W = 12, H = 8;
  for (const int S : {2, 4})
    for (const int max_size : {500, 8})
      for (const std::vector<BadValue>& bad : kBadCases) {
        SCOPED_TRACE(testing::Message() << "S " << S << " max_size " << max_size << " first bad value "
                                        << bad[0].value);
        const PatchGrid grid = *compute_patch_grid(W, H, max_size, 4, 1, false);
        StillWalkSettings settings;
        settings.scale = S;
        const NetworkPass pass = [S](const at::Tensor& chunk) { return reaching(chunk, S); };
        auto render = [&](const at::Tensor& host) {
          NonFiniteValues non_finite;
          const at::Tensor input = still_network_input(host, at::kCPU, &non_finite);
          std::vector<float> plane(std::size_t(S * W) * std::size_t(S * H) * 3);
          PlaneWriter writer(plane.data(), plane.size(), S * H, S * W, 3, true);
          writer.set_non_finite(std::move(non_finite), S);
          still_walk_regions(
            input, grid, settings, pass, {},
            [&](const at::Tensor& region, int64_t row, int64_t column) { writer.write(region, row, column); });
          // Packed host rows back to [C, rows from the top, columns].
          return at::from_blob(plane.data(), {S * H, S * W, 3}, at::kFloat).flip({0}).permute({2, 0, 1}).clone();
        };
        expect_contained(render(host_image(W, H, bad)), render(host_image(W, H, {})), bad, S);
      }
}

namespace {

// Frames of the constant image, with the bad values in one of them.
class FramesWithBadValues : public SequencePatchReader {
public:
  FramesWithBadValues(int W, int H, int bad_frame, std::vector<BadValue> bad)
      : W_(W), H_(H), bad_frame_(bad_frame), bad_(std::move(bad))
  {}
  int frame = 1;

  std::optional<ContextBox> context_box(int) override { return ContextBox{0, 0, W_, H_}; }
  std::optional<at::Tensor> read(int, const PatchRect& p, bool) override
  {
    const at::Tensor whole = host_image(W_, H_, frame == bad_frame_ ? bad_ : std::vector<BadValue>{});
    return whole.narrow(2, H_ - p.yEnd, p.height()).narrow(3, p.xStart, p.width()).contiguous();
  }

private:
  int W_, H_, bad_frame_;
  std::vector<BadValue> bad_;
};

} // namespace

// Sequence mode over five frames with bad values in frame 2: that frame's composite and every
// later one are what the clean frames give (the networks and the carried state never see the
// values), and the write-back puts frame 2's back at their own pixels. Plates and CG.
TEST(NonFiniteValues, SequenceStateNeverCarriesThem)
{
  const int W = 12, H = 8, S = 2;
  const PatchGrid grid = *compute_patch_grid(W, H, 8, 4, 1, false);
  SequenceNetworks networks;
  networks.flow = [](const at::Tensor& current, const at::Tensor&) {
    return at::zeros({1, 2, current.size(2), current.size(3)});
  };
  // The previous result matters, so a carried NaN would reach every later frame.
  networks.main = [](const at::Tensor& lr, const at::Tensor& hr) {
    const std::vector<int64_t> size{lr.size(2) * S, lr.size(3) * S};
    return reaching(lr, S) * 0.5 + at::upsample_nearest2d(hr.narrow(1, 0, lr.size(1)), size) * 0.5;
  };
  networks.colour = networks.main;
  for (const Material material : {Material::Plates, Material::CG})
    for (const std::vector<BadValue>& bad : kBadCases) {
      SCOPED_TRACE(testing::Message() << "material " << int(material) << " first bad value " << bad[0].value);
      SequenceMemory clean_memory, memory;
      FramesWithBadValues clean_frames(W, H, -1, {}), frames(W, H, 2, bad);
      for (int f = 1; f <= 5; ++f) {
        SequenceFrameSettings s;
        s.frame = f;
        s.scale = S;
        s.material = material;
        s.input_box = ContextBox{0, 0, W, H};
        s.frame_to_input[f] = 0;
        clean_frames.frame = frames.frame = f;
        const SequenceFrameResult clean =
          render_sequence_frame(s, grid, W, H, clean_memory, clean_frames, networks, {});
        const SequenceFrameResult r = render_sequence_frame(s, grid, W, H, memory, frames, networks, {});
        ASSERT_TRUE(r.composite.defined() && clean.composite.defined()) << "frame " << f;
        clean_memory.mark_saved(0, "rgb");
        memory.mark_saved(0, "rgb");
        EXPECT_TRUE(at::equal(r.composite, clean.composite)) << "frame " << f;
        EXPECT_EQ(r.non_finite.empty(), f != 2) << "frame " << f;
        const int C = int(r.composite.size(1));
        std::vector<float> plane(std::size_t(S * W) * std::size_t(S * H) * std::size_t(C));
        PlaneWriter writer(plane.data(), plane.size(), S * H, S * W, C, false);
        writer.set_non_finite(r.non_finite, S);
        writer.write(r.composite, 0);
        const at::Tensor written =
          at::from_blob(plane.data(), {S * H, S * W, C}, at::kFloat).flip({0}).permute({2, 0, 1}).clone();
        expect_contained(written, clean.composite[0], f == 2 ? bad : std::vector<BadValue>{}, S);
      }
    }
}
