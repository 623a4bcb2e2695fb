#include "commands/SubmitCommand.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "commands/BatchScript.h"
#include "commands/FarmStatus.h"
#include "commands/PluginLocation.h"
#include "runtime/AtomicFile.h"
#include "runtime/FramePattern.h"
#include "runtime/HostError.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace render_command {
namespace {

namespace fs = std::filesystem;

// The options every task gets from the script itself.
bool setByTheScript(const std::string& option)
{
  return option == "--frames" || option == "--skip-existing" || option == "--threads";
}

std::pair<int, int> frameRange(const CommandLine& cl)
{
  if (cl.frames)
    return *cl.frames;
  if (cl.input.empty())
    throw UsageError("farm renders need --frames or an --input sequence to take the frames from");
  const std::vector<int> found = host_runtime::FramePattern(cl.input).existingFrames();
  if (found.empty())
    throw UsageError("no files match " + cl.input + ": give --frames");
  return {found.front(), found.back()};
}

BatchJob batchJob(const SubmitCommandLine& sc, const std::string& programPath)
{
  BatchJob job;
  job.frames = frameRange(sc.render);
  job.chunk = sc.chunk;
  if (!sc.renderCommand.empty()) {
    job.renderProgram = sc.renderCommand;
  } else {
    const fs::path beside = programDirectory(programPath) / "magnifex-render";
    std::error_code ec;
    if (!fs::exists(beside, ec))
      throw UsageError("no magnifex-render beside magnifex-submit (" + beside.string() + "): give --render-command");
    job.renderProgram = beside.string();
  }
  for (const CommandLine::GivenOption& o : sc.render.given)
    if (!setByTheScript(o.name))
      job.renderOptions.push_back(o.words);
  job.workDir = fs::current_path().string();
  job.logDir = fs::absolute(sc.logDir).lexically_normal().string();
  job.jobName = sc.jobName;
  job.partition = sc.partition;
  job.gpusPerTask = sc.gpusPerTask;
  job.time = sc.time;
  job.cpusPerTask = sc.cpusPerTask;
  job.threads = sc.render.threads;
  job.maxRunning = sc.maxRunning;
  job.sbatchArgs = sc.sbatchArgs;
  return job;
}

#if !defined(_WIN32)
// Runs a program (found on PATH) with its standard output read back, and its standard error too
// when `errors` is given; returns its exit status, -1 when it could not be run.
int runCapturing(const std::vector<std::string>& argv, std::string& output, std::string* errors = nullptr)
{
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0)
    return -1;
  // Standard error goes to a file rather than a second pipe: nothing to interleave, no deadlock.
  std::FILE* errorFile = errors ? std::tmpfile() : nullptr;
  const pid_t pid = fork();
  if (pid < 0)
    return -1;
  if (pid == 0) {
    if (errorFile)
      dup2(fileno(errorFile), STDERR_FILENO);
    dup2(pipeEnds[1], STDOUT_FILENO);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    std::vector<char*> args;
    for (const std::string& a : argv)
      args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(pipeEnds[1]);
  char buffer[4096];
  for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
    output.append(buffer, std::size_t(n));
  close(pipeEnds[0]);
  int status = 0;
  const bool waited = waitpid(pid, &status, 0) >= 0;
  if (errorFile) {
    std::rewind(errorFile);
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, errorFile)) > 0;)
      errors->append(buffer, n);
    std::fclose(errorFile);
  }
  if (!waited)
    return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The lines of `text` that hold `word`.
std::string linesWith(const std::string& text, const std::string& word)
{
  std::istringstream lines(text);
  std::string kept;
  for (std::string line; std::getline(lines, line);)
    if (line.find(word) != std::string::npos)
      kept += line + "\n";
  return kept;
}

// Whether the parameters, as a script writes them, turn the GPU off.
bool turnsTheGpuOff(const std::string& script)
{
  std::istringstream lines(script);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string name, value;
    if (words >> name >> value && name == "use_gpu")
      return value == "false" || value == "0";
  }
  return false;
}

// Runs magnifex-render --check on the job's render options: what a task would find before its
// first frame (an unknown knob, a missing plug-in, no input files, an output that cannot be
// written) is found here, before every task of the farm meets it. Returns an exit status of the
// submit command, kSubmitOk when the render can start.
int checkTheRender(const SubmitCommandLine& sc, const BatchJob& job, const std::string& programPath, std::ostream& err)
{
  // The magnifex-render of this machine: --render-command may name a path of the farm's.
  fs::path checker = programDirectory(programPath) / "magnifex-render";
  std::error_code ec;
  if (!fs::exists(checker, ec))
    checker = job.renderProgram;
  if (!fs::exists(checker, ec)) {
    err << "magnifex-submit: warning: no magnifex-render on this machine (" << checker.string()
        << ") to check the render with before submitting\n";
    return kSubmitOk;
  }
  std::vector<std::string> argv{checker.string()};
  for (const std::vector<std::string>& option : job.renderOptions)
    argv.insert(argv.end(), option.begin(), option.end());
  argv.insert(argv.end(),
              {"--frames", std::to_string(job.frames.first) + "-" + std::to_string(job.frames.second), "--check"});
  std::string script, messages;
  const int status = runCapturing(argv, script, &messages);
  if (status != 0) {
    err << "magnifex-submit: error: nothing submitted: the render would fail before its first frame ("
        << checker.string() << " --check, exit status " << status << "):\n"
        << (messages.empty() ? std::string("(no message)\n") : messages);
    return status == 2 ? kSubmitUsage : kSubmitFiles;
  }
  err << linesWith(messages, "warning:");
  if (asksForGpus(job) && turnsTheGpuOff(script))
    err << "magnifex-submit: warning: use_gpu is off in the parameters"
        << (sc.render.scriptIn.empty() ? std::string() : " (" + sc.render.scriptIn + " or --set)")
        << ": the GPU tasks will render on their CPUs. Scripts saved on a machine without a usable GPU save "
           "use_gpu off; add --set use_gpu=true to render on the GPUs\n";
  return kSubmitOk;
}

// The job number in sbatch --parsable's answer ("id" or "id;cluster" on its last line; a site
// wrapper may print lines before it); empty when there is none.
std::string jobNumberIn(const std::string& answer)
{
  std::istringstream lines(answer);
  std::string last;
  for (std::string line; std::getline(lines, line);)
    if (line.find_first_not_of(" \t\r") != std::string::npos)
      last = line;
  std::string id = last.substr(0, last.find(';'));
  while (!id.empty() && (id.back() == ' ' || id.back() == '\r' || id.back() == '\t'))
    id.pop_back();
  if (id.empty() || id.size() > 18 || id.find_first_not_of("0123456789") != std::string::npos)
    return {};
  return id;
}
#endif

// The record of which shot a job renders, beside its task logs, so that --status reads the logs
// of this shot's jobs only.
fs::path shotRecord(const std::string& logDir, const std::string& jobName, const std::string& jobId)
{
  return fs::path(logDir) / (jobName + "-" + jobId + ".shot");
}

std::string shotText(const SubmitCommandLine& sc)
{
  return "output " + fs::absolute(sc.render.output).lexically_normal().string() + "\n";
}

int submit(const SubmitCommandLine& sc, const BatchJob& job, const std::string& programPath, std::ostream& out,
           std::ostream& err)
{
  fs::create_directories(job.logDir);
  // Tasks write into the output folder at once, from wherever they run.
  const fs::path outputFolder = fs::path(sc.render.output).parent_path();
  if (!outputFolder.empty())
    fs::create_directories(outputFolder);
#if !defined(_WIN32)
  if (const int checked = checkTheRender(sc, job, programPath, err); checked != kSubmitOk)
    return checked;
#else
  (void)programPath;
#endif
  const std::string scriptFile = job.logDir + "/" + job.jobName + ".sbatch";
  host_runtime::writeFileAtomically(scriptFile, batchScript(job));
#if defined(_WIN32)
  (void)sc;
  (void)out;
  err << "magnifex-submit: error: submitting needs a Slurm client; the batch script is " << scriptFile << "\n";
  return kSubmitFiles;
#else
  std::string answer;
  const int status = runCapturing({sc.sbatch, "--parsable", scriptFile}, answer);
  if (status != 0) {
    err << "magnifex-submit: error: " << sc.sbatch << " "
        << (status == 127 ? "could not be run" : "failed (exit status " + std::to_string(status) + ")")
        << "; the batch script is " << scriptFile << "\n";
    return kSubmitFiles;
  }
  const std::string jobId = jobNumberIn(answer);
  if (jobId.empty()) {
    err << "magnifex-submit: error: " << sc.sbatch << " answered without a job number ("
        << (answer.find_first_not_of(" \t\r\n") == std::string::npos ? std::string("nothing")
                                                                     : "'" + answer.substr(0, 200) + "'")
        << "): the job may or may not be queued; look with squeue before submitting again. The batch script is "
        << scriptFile << "\n";
    return kSubmitFiles;
  }
  host_runtime::writeFileAtomically(shotRecord(job.logDir, job.jobName, jobId).string(), shotText(sc));
  out << "submitted job " << jobId << ": frames " << job.frames.first << "-" << job.frames.second << " in "
      << chunkCount(job.frames, job.chunk) << " tasks of up to " << job.chunk << " frames\n"
      << "batch script: " << scriptFile << "\n"
      << "task logs: " << job.logDir << "/" << job.jobName << "-" << jobId << "_<task>.log\n"
      << "what is left: the same command with --status\n";
  return kSubmitOk;
#endif
}

// The task logs of the latest job of that name in the folder that rendered this shot:
// <name>-<job id>_<task>.log. A job without a record of its shot (submitted before there were
// any) is taken to be of this one.
std::vector<fs::path> latestJobLogs(const std::string& logDir, const std::string& jobName, const std::string& shot)
{
  std::map<long long, std::map<long long, fs::path>> byJob; // job id, task
  const std::string prefix = jobName + "-";
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(logDir, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(prefix, 0) != 0 || e.path().extension() != ".log")
      continue;
    char* end = nullptr;
    const long long job = std::strtoll(name.c_str() + prefix.size(), &end, 10);
    if (!end || *end != '_')
      continue;
    const long long task = std::strtoll(end + 1, &end, 10);
    if (!end || *end != '.')
      continue;
    std::ifstream record(shotRecord(logDir, jobName, std::to_string(job)), std::ios::binary);
    std::ostringstream recorded;
    recorded << record.rdbuf();
    if (record && recorded.str() != shot)
      continue; // another shot's job of the same name
    byJob[job][task] = e.path();
  }
  std::vector<fs::path> logs;
  if (!byJob.empty())
    for (const auto& entry : byJob.rbegin()->second)
      logs.push_back(entry.second);
  return logs;
}

// Missing frames by task, then the task logs that tell of failures.
int reportStatus(const SubmitCommandLine& sc, std::ostream& out)
{
  const std::pair<int, int> frames = frameRange(sc.render);
  const host_runtime::FramePattern output(sc.render.output);
  const std::vector<TaskGap> gaps = missingFramesByTask(frames, sc.chunk, output.existingFrames());
  std::int64_t missing = 0;
  for (const TaskGap& gap : gaps)
    for (const FrameChunk& range : gap.missing)
      missing += std::int64_t(range.last) - range.first + 1;
  const std::int64_t total = std::int64_t(frames.second) - frames.first + 1;
  out << "frames " << frames.first << "-" << frames.second << " of " << output.text() << ": " << total - missing
      << " there, " << missing << " missing\n";
  for (const TaskGap& gap : gaps) {
    out << "task " << gap.task << " (frames " << gap.chunk.first << "-" << gap.chunk.last << "): missing";
    for (const FrameChunk& range : gap.missing)
      out << " " << rangeText(range);
    out << "\n";
  }

  for (const fs::path& log : latestJobLogs(sc.logDir, sc.jobName, shotText(sc))) {
    std::ifstream in(log, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const TaskLog t = readTaskLog(text.str());
    if (t.state == TaskLog::State::Finished && t.exitStatus != 0)
      out << log.string() << ": failed: " << t.lastLine << "\n";
    else if (t.state == TaskLog::State::Unfinished)
      out << log.string() << ": not finished (still running, or killed): " << t.lastLine << "\n";
  }
  return missing == 0 ? kSubmitOk : kSubmitFramesMissing;
}
} // namespace

int runSubmitCommand(const SubmitCommandLine& sc, const std::string& programPath, std::ostream& out, std::ostream& err)
{
  if (sc.render.help) {
    out << submitHelpText();
    return kSubmitOk;
  }
  try {
    if (sc.status)
      return reportStatus(sc, out);
    const BatchJob job = batchJob(sc, programPath);
    if (sc.dryRun) {
      out << batchScript(job);
      return kSubmitOk;
    }
    return submit(sc, job, programPath, out, err);
  } catch (const UsageError& e) {
    err << "magnifex-submit: error: " << e.what() << " (see --help)\n";
    return kSubmitUsage;
  } catch (const host_runtime::HostError& e) {
    err << "magnifex-submit: error: " << e.what() << "\n";
    return e.kind() == host_runtime::HostError::Kind::BadPattern ? kSubmitUsage : kSubmitFiles;
  } catch (const std::exception& e) {
    err << "magnifex-submit: error: " << e.what() << "\n";
    return kSubmitFiles;
  }
}

} // namespace render_command
