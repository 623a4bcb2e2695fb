#include <gtest/gtest.h>

#include "render/sequence/PrerollFrames.h"

using namespace magnifex;

namespace {
std::map<int, int> contexts(std::initializer_list<std::pair<const int, int>> l) { return l; }
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

TEST(PrerollPlan, FrameBeforeTheFirstFrameWidensTheWindow)
{
  // Only reached for frames outside the material; the window is wider than preroll + 1.
  const PrerollPlan p = compute_preroll_plan(-2, 2, 1);
  EXPECT_EQ(p.lo, -2);
  EXPECT_EQ(p.hi, 6);
  EXPECT_GT(p.input_context_count, 3);
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
