#include "commands/SubmitCommandLine.h"

#include <optional>

#include <CLI/CLI.hpp>

#include "runtime/FramePattern.h"

namespace render_command {

SubmitCommandLine parseSubmitCommandLine(const std::vector<std::string>& args)
{
  SubmitCommandLine sc;
  // Counts are checked once parsed, with the command's own message.
  std::optional<std::string> chunk, cpusPerTask, maxRunning;
  auto count = [](CLI::App& app, const char* name, std::optional<std::string>& into) {
    app.add_option_function<std::string>(name, [&into](const std::string& v) { into = v; });
  };
  const MoreOptions farmOptions = [&](CLI::App& app) {
    count(app, "--chunk", chunk);
    app.add_option("--partition", sc.partition);
    app.add_option("--gpus-per-task", sc.gpusPerTask);
    count(app, "--cpus-per-task", cpusPerTask);
    app.add_option("--time", sc.time);
    app.add_option("--sbatch-arg", sc.sbatchArgs)->allow_extra_args(false)->take_all();
    app.add_option("--job-name", sc.jobName);
    app.add_option("--log-dir", sc.logDir);
    count(app, "--max-running", maxRunning);
    app.add_option("--render-command", sc.renderCommand);
    app.add_option("--sbatch", sc.sbatch);
    app.add_flag("--dry-run", sc.dryRun)->disable_flag_override();
    app.add_flag("--status", sc.status)->disable_flag_override();
  };
  sc.render = parseCommandLine(args, farmOptions);
  if (sc.render.help)
    return sc;
  if (chunk)
    sc.chunk = parseCount("--chunk", *chunk);
  if (cpusPerTask)
    sc.cpusPerTask = parseCount("--cpus-per-task", *cpusPerTask);
  if (maxRunning)
    sc.maxRunning = parseCount("--max-running", *maxRunning);

  const CommandLine& cl = sc.render;
  for (const CommandLine::GivenOption& o : cl.given)
    for (const char* refused : {"--trace", "--script-out", "--knobs-json", "--validate-only", "--check", "--gui"})
      if (o.name == refused)
        throw UsageError(o.name + " is not for farm renders: every task would do it again");
  if (cl.output.empty() || !host_runtime::FramePattern(cl.output).hasFrameNumber())
    throw UsageError("farm renders need --output with a frame number (#### or %04d)");
  if (sc.jobName.empty() || sc.jobName.find_first_of("\n\r") != std::string::npos)
    throw UsageError("--job-name needs a name on one line");
  for (const std::string& arg : sc.sbatchArgs)
    if (arg.find_first_of("\n\r") != std::string::npos)
      throw UsageError("--sbatch-arg values must be on one line");
  return sc;
}

std::string submitHelpText()
{
  return R"(usage: magnifex-submit [magnifex-render options] [farm options]

Renders frames of a shot on a Slurm farm: writes a batch script of one array task per chunk of
frames, each rendering its chunk with magnifex-render --frames A-B --skip-existing, and submits it
with sbatch. The magnifex-render options are those of a local render (see magnifex-render
--help); --output needs a frame number, and the frames are --frames or the input's range. Relative
paths are read from the folder magnifex-submit runs in, which must be shared with the farm.
Before submitting, the magnifex-render beside this program runs with the render options, the
whole range and --check: what every task would meet before its first frame (an unknown knob, a
missing plug-in, frames without input files, an output that cannot be written) stops the
submission. It warns when use_gpu is off (a script saved on a machine without a usable GPU) for
GPU tasks. sbatch's answer must end in a job number; the job's shot (its output) is recorded
beside the task logs, so --status reads this shot's logs only.

Farm options:
  --chunk N            frames per task (default 10); the last task may get fewer. In sequence
                       mode each task starts with its own preroll at its first frame
  --partition NAME     Slurm partition
  --gpus-per-task N    GPUs per task ("1", or "type:1"): the task renders on the GPU Slurm gives
                       it. Without it tasks render on their CPUs and the machine's GPUs are hidden
                       from them. They render in float32; with magnifex-render's --cpu-bfloat16
                       their passes run in BFloat16 where the CPU has BFloat16 units
  --cpus-per-task N    CPUs per task; the tensor library runs one thread per CPU given
  --time LIMIT         time limit per task (Slurm's forms: MM, HH:MM:SS, D-HH...)
  --max-running N      at most N tasks of the job at once
  --sbatch-arg ARG     one more #SBATCH line (an sbatch option such as --exclusive or
                       --mem=32G); repeatable
  --job-name NAME      job name (default magnifex); task logs are LOGDIR/NAME-JOB_TASK.log
  --log-dir DIR        folder of the batch script and the task logs (default magnifex-logs)
  --render-command PATH
                       magnifex-render as the farm machines reach it (default: the one beside
                       this program)
  --sbatch PATH        the sbatch program (default: sbatch from PATH)
  --dry-run            print the batch script instead of submitting it (nothing is checked)
  --status             submit nothing: list the frames of the range whose output files are
                       missing, with the tasks that render them, and the tasks whose logs in
                       LOGDIR say they failed or did not finish

Exit status: 0 submitted (with --status: every frame is there), 1 frames missing (--status) or
unexpected failure, 2 bad command line or parameter (the check's), 3 files (the check's: plug-in,
inputs, outputs; sbatch failed or gave no job number, unwritable log folder).
)";
}

} // namespace render_command
