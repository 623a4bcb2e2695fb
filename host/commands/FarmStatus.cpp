#include "commands/FarmStatus.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace render_command {
namespace {

// Adds the frames first..last (64-bit: a gap may end past int) to the gaps of their tasks.
void addMissing(std::vector<TaskGap>& gaps, std::pair<int, int> frames, int chunk, std::int64_t first,
                std::int64_t last)
{
  while (first <= last) {
    const std::int64_t task = (first - frames.first) / chunk;
    const FrameChunk whole = chunkAt(frames, chunk, task);
    const std::int64_t end = std::min<std::int64_t>(last, whole.last);
    if (gaps.empty() || gaps.back().task != task)
      gaps.push_back({task, whole, {}});
    gaps.back().missing.push_back({int(first), int(end)});
    first = end + 1;
  }
}

} // namespace

std::vector<TaskGap> missingFramesByTask(std::pair<int, int> frames, int chunk, const std::vector<int>& existing)
{
  std::vector<TaskGap> gaps;
  std::int64_t next = frames.first; // the first frame not yet accounted for
  for (int f : existing) {
    if (f < next || f > frames.second)
      continue;
    addMissing(gaps, frames, chunk, next, std::int64_t(f) - 1);
    next = std::int64_t(f) + 1;
  }
  addMissing(gaps, frames, chunk, next, frames.second);
  return gaps;
}

TaskLog readTaskLog(const std::string& text)
{
  TaskLog log;
  std::istringstream lines(text);
  const std::string marker = "magnifex-task ";
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(marker, 0) != 0)
      continue;
    log.lastLine = line;
    const std::size_t colon = line.find(": ");
    if (colon == std::string::npos)
      continue;
    const std::string what = line.substr(colon + 2);
    if (what.rfind("frames ", 0) == 0) {
      log.state = TaskLog::State::Unfinished; // an attempt started
    } else if (what.rfind("exit status ", 0) == 0) {
      log.state = TaskLog::State::Finished;
      log.exitStatus = std::atoi(what.c_str() + 12);
    }
  }
  return log;
}

std::string rangeText(const FrameChunk& range)
{
  return range.first == range.last ? std::to_string(range.first)
                                   : std::to_string(range.first) + "-" + std::to_string(range.last);
}

} // namespace render_command
