// The Slurm batch script of a farm render: one array task per chunk of frames, each running
// magnifex-render on its chunk. Plain bash with comments, so that it can be read and adapted to
// another farm manager.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace render_command {

struct BatchJob {
  std::pair<int, int> frames;
  int chunk = 1;
  std::string renderProgram;                           // magnifex-render, as the farm machines reach it
  std::vector<std::vector<std::string>> renderOptions; // every task's, one option's words each
  std::string workDir;                                 // where relative paths are read from
  std::string logDir;
  std::string jobName;
  std::string partition, gpusPerTask, time;
  std::optional<int> cpusPerTask;
  std::optional<int> threads;    // fixed thread count; default: the task's CPUs
  std::optional<int> maxRunning; // tasks at once
  std::vector<std::string> sbatchArgs;
};

// Whether the tasks are given GPUs: --gpus-per-task, or sbatch options that ask for GPUs
// (--gpus..., --gres=gpu..., -G).
bool asksForGpus(const BatchJob& job);

std::string batchScript(const BatchJob& job);

// `word` as one bash word: as it is when it holds only characters bash leaves alone, else in
// single quotes.
std::string shellWord(const std::string& word);

} // namespace render_command
