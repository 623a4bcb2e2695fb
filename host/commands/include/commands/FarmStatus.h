// What a farm render has left to do: the frames whose files are missing, by task, and what the
// task logs say.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "commands/FrameChunks.h"

namespace render_command {

// A task with frames still missing: its index, its chunk and the missing frames as ranges.
struct TaskGap {
  std::int64_t task = 0;
  FrameChunk chunk;
  std::vector<FrameChunk> missing;
};

// The tasks of `frames` in chunks of `chunk` whose frames are not all in `existing` (ascending;
// frames outside the range are ignored). Walks the existing frames, not the range: a wide range
// with few files costs little.
std::vector<TaskGap> missingFramesByTask(std::pair<int, int> frames, int chunk, const std::vector<int>& existing);

// What one task's log says of its last attempt.
struct TaskLog {
  enum class State { NotStarted, Unfinished, Finished };
  State state = State::NotStarted;
  int exitStatus = 0;   // when Finished
  std::string lastLine; // the last line of the task's own
};

// Reads the magnifex-task lines of a task log written by the batch script: a start line
// ("magnifex-task J_T: frames A-B on ...") and an end line ("magnifex-task J_T: exit status N; ...").
TaskLog readTaskLog(const std::string& text);

// "4-6", "9"
std::string rangeText(const FrameChunk& range);

} // namespace render_command
