// The arithmetic of farm renders: chunks of a frame range, what is missing, what task logs say.
#include <gtest/gtest.h>

#include <climits>
#include <map>

#include "commands/FarmStatus.h"
#include "commands/FrameChunks.h"

using namespace render_command;

namespace {

// Chunks as one would deal frames out by hand: frame after frame into the current chunk.
std::vector<std::pair<int, int>> dealtByHand(std::pair<int, int> frames, int size)
{
  std::vector<std::pair<int, int>> chunks;
  for (int f = frames.first; f <= frames.second; ++f) {
    if (chunks.empty() || chunks.back().second - chunks.back().first + 1 == size)
      chunks.push_back({f, f});
    else
      chunks.back().second = f;
  }
  return chunks;
}

std::vector<std::pair<int, int>> chunksOf(std::pair<int, int> frames, int size)
{
  std::vector<std::pair<int, int>> chunks;
  for (std::int64_t i = 0; i < chunkCount(frames, size); ++i)
    chunks.push_back({chunkAt(frames, size, i).first, chunkAt(frames, size, i).last});
  return chunks;
}

} // namespace

TEST(FrameChunks, CutARangeIntoChunksTheLastOneShorter)
{
  for (std::pair<int, int> frames :
       {std::make_pair(1, 9), std::make_pair(1001, 1010), std::make_pair(-7, 3), std::make_pair(5, 5)})
    for (int size : {1, 2, 3, 4, 10, 50}) {
      SCOPED_TRACE(testing::Message() << frames.first << "-" << frames.second << " by " << size);
      EXPECT_EQ(chunksOf(frames, size), dealtByHand(frames, size));
    }

  // Ranges too wide to deal out: counted and cut in 64 bits, no end wraps past INT_MAX.
  struct Wide {
    std::pair<int, int> frames;
    int size;
    std::int64_t count;
    std::pair<int, int> last;
  };
  const Wide wide[] = {
    {{INT_MIN, INT_MAX}, 1, 4294967296LL, {INT_MAX, INT_MAX}},
    {{INT_MIN, INT_MAX}, INT_MAX, 3, {INT_MAX - 1, INT_MAX}},
    {{INT_MAX - 4, INT_MAX}, 3, 2, {INT_MAX - 1, INT_MAX}},
    {{0, INT_MAX}, INT_MAX, 2, {INT_MAX, INT_MAX}},
  };
  for (const Wide& w : wide) {
    SCOPED_TRACE(testing::Message() << w.frames.first << "-" << w.frames.second << " by " << w.size);
    EXPECT_EQ(chunkCount(w.frames, w.size), w.count);
    const FrameChunk last = chunkAt(w.frames, w.size, w.count - 1);
    EXPECT_EQ(std::make_pair(last.first, last.last), w.last);
  }
}

TEST(FarmStatus, MissingFramesAreListedByTheTaskThatRendersThem)
{
  using Ranges = std::vector<std::pair<int, int>>;
  struct Case {
    const char* what;
    std::pair<int, int> frames;
    int chunk;
    std::vector<int> existing;
    std::map<std::int64_t, Ranges> missing; // by task
  };
  const Case cases[] = {
    {"all there", {1, 9}, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9}, {}},
    {"nothing there", {1, 9}, 3, {}, {{0, {{1, 3}}}, {1, {{4, 6}}}, {2, {{7, 9}}}}},
    {"gaps across a chunk boundary", {1, 9}, 3, {1, 2, 6, 9}, {{0, {{3, 3}}}, {1, {{4, 5}}}, {2, {{7, 8}}}}},
    {"two gaps in one chunk", {10, 19}, 5, {10, 12, 14, 15, 16, 17, 18, 19}, {{0, {{11, 11}, {13, 13}}}}},
    {"files outside the range and repeated", {1, 4}, 4, {-3, 0, 2, 2, 5, 9}, {{0, {{1, 1}, {3, 4}}}}},
    {"the last short chunk", {1, 7}, 3, {1, 2, 3, 4, 5, 6}, {{2, {{7, 7}}}}},
    {"up to the largest frame",
     {INT_MAX - 3, INT_MAX},
     2,
     {INT_MAX - 3},
     {{0, {{INT_MAX - 2, INT_MAX - 2}}}, {1, {{INT_MAX - 1, INT_MAX}}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::map<std::int64_t, Ranges> found;
    for (const TaskGap& gap : missingFramesByTask(c.frames, c.chunk, c.existing)) {
      const FrameChunk whole = chunkAt(c.frames, c.chunk, gap.task);
      EXPECT_EQ(gap.chunk.first, whole.first);
      EXPECT_EQ(gap.chunk.last, whole.last);
      for (const FrameChunk& r : gap.missing)
        found[gap.task].push_back({r.first, r.last});
    }
    EXPECT_EQ(found, c.missing);
  }
  EXPECT_EQ(rangeText({4, 6}), "4-6");
  EXPECT_EQ(rangeText({-2, -2}), "-2");
}

TEST(FarmStatus, TaskLogsTellTheLastAttempt)
{
  const std::string started = "magnifex-task 12_3: frames 7-9 on node04, attempt 1, 4 threads\n";
  const std::string rendering = "magnifex-render: frame 7 done in 0.5 s\n";
  struct Case {
    const char* what;
    std::string log;
    TaskLog::State state;
    int exitStatus;
  };
  const Case cases[] = {
    {"empty", "", TaskLog::State::NotStarted, 0},
    {"only the renderer's lines", rendering, TaskLog::State::NotStarted, 0},
    {"killed mid-chunk", started + rendering, TaskLog::State::Unfinished, 0},
    {"finished", started + rendering + "magnifex-task 12_3: exit status 0; frames 7-9: 3 rendered\n",
     TaskLog::State::Finished, 0},
    {"failed", started + "magnifex-task 12_3: exit status 4; frames 7-9: 0 rendered\n", TaskLog::State::Finished, 4},
    {"failed, then requeued and running",
     started + "magnifex-task 12_3: exit status 3; no summary\n" +
       "magnifex-task 12_3: frames 7-9 on node02, attempt 2, 4 threads\n",
     TaskLog::State::Unfinished, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TaskLog t = readTaskLog(c.log);
    EXPECT_EQ(t.state, c.state);
    if (c.state == TaskLog::State::Finished)
      EXPECT_EQ(t.exitStatus, c.exitStatus);
  }
  EXPECT_EQ(readTaskLog(started + rendering).lastLine, started.substr(0, started.size() - 1));
}
