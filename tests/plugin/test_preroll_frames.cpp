#include <gtest/gtest.h>

#include <limits>

#include "render/sequence/PrerollFrames.h"

using namespace magnifex;

namespace {
std::map<int, int> contexts(std::initializer_list<std::pair<const int, int>> l)
{
  return l;
}
} // namespace

TEST(PrerollPlan, StartOfMaterialRunsTheFollowingFramesBackwards)
{
  const PrerollPlan p = compute_preroll_plan(1, 5, 1);
  EXPECT_EQ(p.frames, (std::vector<int>{6, 5, 4, 3, 2}));
  EXPECT_EQ(p.input_context_count, 6);
  EXPECT_EQ(p.frame_to_input, contexts({{1, 0}, {2, 1}, {3, 2}, {4, 3}, {5, 4}, {6, 5}}));
}

TEST(PrerollPlan, FarFromTheStartUsesThePrecedingFrames)
{
  const PrerollPlan p = compute_preroll_plan(10, 5, 1);
  EXPECT_EQ(p.frames, (std::vector<int>{5, 6, 7, 8, 9}));
  EXPECT_EQ(p.input_context_count, 6);
  EXPECT_EQ(p.frame_to_input.at(5), 1);
  EXPECT_EQ(p.frame_to_input.at(9), 5);
  EXPECT_EQ(p.frame_to_input.at(10), 0);
}

TEST(PrerollPlan, NearTheStartReflects)
{
  const PrerollPlan p = compute_preroll_plan(3, 5, 1);
  EXPECT_EQ(p.frames, (std::vector<int>{4, 3, 2, 1, 2}));
  EXPECT_EQ(p.input_context_count, 4);
  EXPECT_EQ(p.frame_to_input, contexts({{3, 0}, {1, 1}, {2, 2}, {4, 3}}));
}

TEST(PrerollPlan, NoPreroll)
{
  for (int P : {0, -3}) {
    const PrerollPlan p = compute_preroll_plan(7, P, 1);
    EXPECT_TRUE(p.frames.empty());
    EXPECT_EQ(p.input_context_count, 1);
    EXPECT_EQ(p.frame_to_input, contexts({{7, 0}}));
  }
}

// Frames before the material's start are never rendered and need no preroll; a preroll is bounded
// by the largest one supported and by the largest frame number, and the work stays linear in it.
TEST(PrerollPlan, BoundedWindows)
{
  const int largest = std::numeric_limits<int>::max();
  struct Case {
    int F, P, FF;
    std::size_t frames;
    int context_count;
  };
  for (const Case& c :
       {Case{-2, 2, 1, 0, 1}, Case{1, 2, largest, 0, 1}, Case{largest, 3, largest, 0, 1},
        Case{largest - 1, 3, largest - 1, 1, 2}, Case{largest, 3, -999999, 3, 4}, Case{10, 5000, 1, kMaxPreroll, 92},
        Case{5000, largest, -999999, kMaxPreroll, kMaxPreroll + 1}, Case{-largest, 3, -largest - 1, 3, 3}}) {
    SCOPED_TRACE(testing::Message() << "F " << c.F << " P " << c.P << " first " << c.FF);
    const PrerollPlan p = compute_preroll_plan(c.F, c.P, c.FF);
    EXPECT_EQ(p.frames.size(), c.frames);
    EXPECT_EQ(p.input_context_count, c.context_count);
    EXPECT_EQ(int(p.frame_to_input.size()), c.context_count);
    for (const auto& [frame, context] : p.frame_to_input)
      EXPECT_EQ(preroll_context_frame(c.F, c.P, c.FF, context), frame);
  }
}

TEST(PrerollContexts, ContextFramesMatchTheFrameMap)
{
  for (int F : {1, 2, 3, 6, 10, 100}) {
    const PrerollPlan plan = compute_preroll_plan(F, 5, 1);
    for (const auto& [frame, context] : plan.frame_to_input)
      EXPECT_EQ(preroll_context_frame(F, 5, 1, context), frame) << "F " << F << " context " << context;
  }
  // First frame 1, preroll 5, frame 3: contexts 1, 2, 3 show frames 1, 2, 4.
  EXPECT_EQ(preroll_context_frame(3, 5, 1, 1), 1);
  EXPECT_EQ(preroll_context_frame(3, 5, 1, 3), 4);
  // Contexts the window does not reach show the current frame.
  EXPECT_EQ(preroll_context_frame(3, 5, 1, 4), 3);
  EXPECT_EQ(preroll_context_frame(3, 5, 1, 5), 3);
  EXPECT_EQ(preroll_context_frame(3, 0, 1, 2), 3);
}

TEST(SequenceState, OnlyTheNextFrameContinues)
{
  EXPECT_TRUE(sequence_state_continues(10, 11));
  EXPECT_FALSE(sequence_state_continues(10, 12)); // skipped
  EXPECT_FALSE(sequence_state_continues(10, 10)); // repeated
  EXPECT_FALSE(sequence_state_continues(10, 9));  // backwards
}
