#include "commands/BatchScript.h"

#include <sstream>

#include "commands/FrameChunks.h"

namespace render_command {
namespace {

bool startsWith(const std::string& s, const char* prefix)
{
  return s.rfind(prefix, 0) == 0;
}

// An #SBATCH value: sbatch splits those lines at blanks unless the value is in double quotes.
std::string sbatchValue(const std::string& value)
{
  return value.find_first_of(" \t'") == std::string::npos ? value : "\"" + value + "\"";
}

void writeHeader(std::ostream& o, const BatchJob& job)
{
  const std::int64_t tasks = chunkCount(job.frames, job.chunk);
  o << "#!/bin/bash\n"
    << "# Magnifex farm render: frames " << job.frames.first << "-" << job.frames.second << " in chunks of "
    << job.chunk << " frame" << (job.chunk == 1 ? "" : "s") << ", one Slurm array task per chunk (tasks 0-" << tasks - 1
    << ").\n"
    << "# Written by magnifex-submit; submit it again with: sbatch <this file>\n"
    << "#\n"
    << "# For another farm manager keep the body and replace the #SBATCH lines and the SLURM_*\n"
    << "# variables it reads: SLURM_ARRAY_TASK_ID (the chunk, from 0), SLURM_CPUS_PER_TASK (CPUs given\n"
    << "# to the task), SLURM_ARRAY_JOB_ID and SLURM_RESTART_COUNT (for the log lines only).\n"
    << "#\n";
  o << "#SBATCH --job-name=" << sbatchValue(job.jobName) << "\n"
    << "#SBATCH --array=0-" << tasks - 1;
  if (job.maxRunning)
    o << "%" << *job.maxRunning;
  o << "\n"
    << "#SBATCH --output=" << sbatchValue(job.logDir + "/%x-%A_%a.log") << "\n"
    << "#SBATCH --open-mode=append\n"
    << "#SBATCH --chdir=" << sbatchValue(job.workDir) << "\n"
    << "#SBATCH --requeue\n";
  if (!job.partition.empty())
    o << "#SBATCH --partition=" << sbatchValue(job.partition) << "\n";
  if (!job.gpusPerTask.empty())
    o << "#SBATCH --gpus-per-task=" << sbatchValue(job.gpusPerTask) << "\n";
  if (job.cpusPerTask)
    o << "#SBATCH --cpus-per-task=" << *job.cpusPerTask << "\n";
  if (!job.time.empty())
    o << "#SBATCH --time=" << sbatchValue(job.time) << "\n";
  for (const std::string& arg : job.sbatchArgs)
    o << "#SBATCH " << arg << "\n";
}

void writeChunk(std::ostream& o, const BatchJob& job)
{
  o << "\n"
    << "set -u\n"
    << "\n"
    << "# This task's chunk: frames first_frame + task * chunk on, chunk of them; the last chunk ends\n"
    << "# at last_frame.\n"
    << "first_frame=" << job.frames.first << "\n"
    << "last_frame=" << job.frames.second << "\n"
    << "chunk=" << job.chunk << "\n"
    << "task=${SLURM_ARRAY_TASK_ID:?run this script as an array job: sbatch submits it so}\n"
    << "chunk_first=$((first_frame + task * chunk))\n"
    << "chunk_last=$((chunk_first + chunk - 1))\n"
    << "if [ \"$chunk_last\" -gt \"$last_frame\" ]; then chunk_last=$last_frame; fi\n"
    << "task_name=${SLURM_ARRAY_JOB_ID:-job}_$task\n";
}

void writeDevices(std::ostream& o, const BatchJob& job)
{
  o << "\n";
  if (asksForGpus(job)) {
    o << "# GPU: Slurm sets CUDA_VISIBLE_DEVICES to the GPU it gave this task, and CUDA numbers the\n"
      << "# devices a process sees from 0, so the task's GPU is device 0 whatever its number on the\n"
      << "# machine. In batch renders the node takes its device from BRIGHTWORK_NUKE_GPU_INDEX (its\n"
      << "# \"Use --gpu device override\" parameter, on by default).\n"
      << "export BRIGHTWORK_NUKE_GPU_INDEX=0\n";
  } else {
    o << "# CPU only: this job asks for no GPU, so the machine's GPUs (the scheduler's to give to other\n"
      << "# jobs) are hidden and the node renders on the CPU, in float32. magnifex-render's --cpu-bfloat16\n"
      << "# (in the render line below when it was given) runs its passes in BFloat16 where the CPU has\n"
      << "# BFloat16 units and the networks allow it; the status line in the log says which.\n"
      << "export CUDA_VISIBLE_DEVICES=\n";
  }
  o << "# Threads of the tensor library: ";
  if (job.threads)
    o << "as given to magnifex-submit.\nthreads=" << *job.threads << "\n";
  else
    o << "one per CPU the scheduler gave the task. More threads than CPUs\n"
      << "# make renders many times slower: the library's threads spin while they wait.\n"
      << "threads=${SLURM_CPUS_PER_TASK:-1}\n";
}

void writeRender(std::ostream& o, const BatchJob& job)
{
  o << "\n"
    << "render=(\n"
    << "  " << shellWord(job.renderProgram) << "\n";
  for (const std::vector<std::string>& option : job.renderOptions) {
    o << " ";
    for (const std::string& word : option)
      o << " " << shellWord(word);
    o << "\n";
  }
  o << ")\n"
    << "\n"
    << "echo \"magnifex-task $task_name: frames $chunk_first-$chunk_last on $(hostname), attempt "
       "$((${SLURM_RESTART_COUNT:-0} + 1)),"
       " $threads threads\"\n"
    << "# --skip-existing: frames an earlier attempt of this task wrote are not rendered again (files\n"
    << "# appear whole or not at all). In sequence mode the first frame rendered runs its own preroll.\n"
    << "render_log=$(mktemp)\n"
    << "trap 'rm -f \"$render_log\"' EXIT\n"
    << "\"${render[@]}\" --frames \"$chunk_first-$chunk_last\" --skip-existing --threads \"$threads\" 2>&1 | tee "
       "\"$render_log\"\n"
    << "status=${PIPESTATUS[0]}\n"
    << "# The task's status line: its frames, rendered and already there, and the time per frame.\n"
    << "summary=$(sed -n 's/^magnifex-render: \\(frames .*\\)$/\\1/p' \"$render_log\" | tail -n 1)\n"
    << "echo \"magnifex-task $task_name: exit status $status; ${summary:-no summary: magnifex-render ended early}\"\n"
    << "exit \"$status\"\n";
}

} // namespace

bool asksForGpus(const BatchJob& job)
{
  if (!job.gpusPerTask.empty())
    return true;
  for (const std::string& arg : job.sbatchArgs)
    if (startsWith(arg, "--gpus") || startsWith(arg, "--gres=gpu") || startsWith(arg, "-G"))
      return true;
  return false;
}

std::string batchScript(const BatchJob& job)
{
  std::ostringstream o;
  writeHeader(o, job);
  writeChunk(o, job);
  writeDevices(o, job);
  writeRender(o, job);
  return o.str();
}

std::string shellWord(const std::string& word)
{
  const bool plain = !word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                             "0123456789-_./=:,+@%") == std::string::npos;
  if (plain)
    return word;
  std::string quoted = "'";
  for (char c : word)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

} // namespace render_command
