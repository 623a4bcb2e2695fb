// magnifex-submit: the batch script it writes (read, and run by bash against a stand-in
// renderer), submission through sbatch, and the status of a submitted render.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "commands/SubmitCommand.h"
#include "commands/SubmitCommandLine.h"
#include "support/CommandRunner.h"

namespace fs = std::filesystem;
using namespace render_command;
using test_support::Outcome;
using test_support::slurp;

namespace {

class SubmitCommandTest : public test_support::CommandTest {
protected:
  // In this process; "@name" stands for a file of the test's folder.
  Outcome submit(std::vector<std::string> args) const
  {
    for (std::string& a : args)
      if (a.rfind("@", 0) == 0)
        a = file(a.substr(1));
    std::ostringstream out, err;
    const int code = runSubmitCommand(parseSubmitCommandLine(args), RENDER_COMMAND_PATH, out, err);
    return {code, out.str(), err.str()};
  }

  // Input files of frames first..last (the check before submitting reads no pixels).
  void makeInputs(int first, int last) const
  {
    for (int f = first; f <= last; ++f) {
      char name[32];
      std::snprintf(name, sizeof name, "in.%04d.exr", f);
      std::ofstream(file(name)) << "frame";
    }
  }

  // A program of the test's own: a shell script.
  std::string program(const std::string& name, const std::string& body) const
  {
    std::ofstream(file(name)) << "#!/bin/sh\n" << body;
    fs::permissions(file(name), fs::perms::owner_all);
    return file(name);
  }

  // The batch script run by bash as Slurm runs array task `task` (in the test's folder).
  Outcome runTask(const std::string& script, int task) const
  {
    std::ofstream(file("job.sh")) << script;
    const std::string command =
      "cd " + dir.string() + " && SLURM_ARRAY_TASK_ID=" + std::to_string(task) +
      " SLURM_ARRAY_JOB_ID=77 SLURM_CPUS_PER_TASK=3 CUDA_VISIBLE_DEVICES=1 bash job.sh > stdout 2> stderr";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(file("stdout")), slurp(file("stderr"))};
  }
};

const std::vector<std::string> kRender = {"--input",        "in.####.exr", "--set",
                                          "type=CG [RGBA]", "--output",    "out/o.####.exr"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more)
{
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

} // namespace

TEST_F(SubmitCommandTest, TheScriptCarriesTheFarmOptions)
{
  struct Case {
    const char* what;
    std::vector<std::string> options;
    std::vector<std::string> present, absent;
  };
  const std::vector<Case> cases{
    {"CPU tasks",
     {"--frames", "1-9", "--chunk", "4", "--partition", "render", "--time", "1:00:00", "--max-running", "2",
      "--cpus-per-task", "8", "--sbatch-arg", "--mem=4G", "--job-name", "shot010"},
     {"#SBATCH --array=0-2%2\n", "#SBATCH --partition=render\n", "#SBATCH --time=1:00:00\n",
      "#SBATCH --cpus-per-task=8\n", "#SBATCH --mem=4G\n", "#SBATCH --job-name=shot010\n", "#SBATCH --requeue\n",
      "first_frame=1\nlast_frame=9\nchunk=4\n", "export CUDA_VISIBLE_DEVICES=\n", "threads=${SLURM_CPUS_PER_TASK:-1}\n",
      "#SBATCH --output=" + (fs::current_path() / "magnifex-logs").string() + "/%x-%A_%a.log\n",
      "#SBATCH --chdir=" + fs::current_path().string() + "\n"},
     {"BRIGHTWORK_NUKE_GPU_INDEX=", "--gpus-per-task"}},
    {"a GPU per task",
     {"--frames", "1001-1100", "--chunk", "10", "--gpus-per-task", "1"},
     {"#SBATCH --array=0-9\n", "#SBATCH --gpus-per-task=1\n", "export BRIGHTWORK_NUKE_GPU_INDEX=0\n"},
     {"export CUDA_VISIBLE_DEVICES", "--partition"}},
    {"GPUs asked for through sbatch",
     {"--frames", "1-3", "--sbatch-arg", "--gres=gpu:1"},
     {"#SBATCH --gres=gpu:1\n", "export BRIGHTWORK_NUKE_GPU_INDEX=0\n", "#SBATCH --array=0-0\n"},
     {"export CUDA_VISIBLE_DEVICES"}},
    {"a fixed thread count", {"--frames", "1-3", "--threads", "6"}, {"threads=6\n"}, {"SLURM_CPUS_PER_TASK:-1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome r = submit(with(with(kRender, c.options), {"--dry-run"}));
    ASSERT_EQ(r.code, kSubmitOk) << r.err;
    for (const std::string& line : c.present)
      EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    for (const std::string& text : c.absent)
      EXPECT_EQ(r.out.find(text), std::string::npos) << text << "\n" << r.out;
  }
}

#if !defined(_WIN32)
// The script's arithmetic and devices, run by bash: what each task hands magnifex-render.
TEST_F(SubmitCommandTest, EachTaskRendersItsChunkWithTheRenderOptions)
{
  const std::string renderer =
    program("render", "printf '%s\\n' \"$@\" > args.txt\n"
                      "echo \"gpu=${BRIGHTWORK_NUKE_GPU_INDEX-unset} cuda=${CUDA_VISIBLE_DEVICES-unset}\" > env.txt\n"
                      "echo 'magnifex-render: frame 9 done in 2 s' >&2\n"
                      "echo 'magnifex-render: frames 9-9: 1 rendered (2.000 s per frame)' >&2\n"
                      "exit 4\n");
  const std::vector<std::string> job =
    with(kRender, {"--frames", "1-9", "--chunk", "4", "--render-command", renderer, "--dry-run"});
  struct Case {
    std::vector<std::string> options;
    int task;
    const char* frames;
    const char* threads;
    const char* devices;
  };
  const Case cases[] = {
    {{}, 0, "1-4", "3", "gpu=unset cuda="},
    {{}, 2, "9-9", "3", "gpu=unset cuda="}, // the last, short chunk
    {{"--gpus-per-task", "1", "--threads", "2"}, 1, "5-8", "2", "gpu=0 cuda=1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "task " << c.task);
    const Outcome script = submit(with(job, c.options));
    ASSERT_EQ(script.code, kSubmitOk) << script.err;
    const Outcome r = runTask(script.out, c.task);
    EXPECT_EQ(r.code, 4) << r.err; // the renderer's
    std::vector<std::string> expected = {"--input",         "in.####.exr",    "--set",    "type=CG [RGBA]",
                                         "--output",        "out/o.####.exr", "--frames", c.frames,
                                         "--skip-existing", "--threads",      c.threads};
    std::string lines;
    for (const std::string& a : expected)
      lines += a + "\n";
    EXPECT_EQ(slurp(file("args.txt")), lines);
    EXPECT_EQ(slurp(file("env.txt")), std::string(c.devices) + "\n");
    const std::string task = "magnifex-task 77_" + std::to_string(c.task) + ": ";
    EXPECT_NE(r.out.find(task + "frames " + c.frames + " on "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("magnifex-render: frame 9 done in 2 s\n"), std::string::npos)
      << r.out; // the renderer's lines stay in the log
    EXPECT_NE(r.out.find(task + "exit status 4; frames 9-9: 1 rendered (2.000 s per frame)\n"), std::string::npos)
      << r.out;
  }
}

TEST_F(SubmitCommandTest, SubmitsTheScriptWithSbatch)
{
  const std::string sbatch =
    program("sbatch", "printf '%s\\n' \"$@\" > " + file("sbatch-args.txt") + "\necho '4242;farm'\n");
  makeInputs(1, 20);
  const std::vector<std::string> job = {
    "--plugin-dir",    TEST_PLUGIN_DIR, "--class", "TestScale", "--input", "@in.####.exr", "--output",
    "@out/o.####.exr", "--frames",      "1-20",    "--chunk",   "8",       "--log-dir",    "@logs"};
  const Outcome r = submit(with(job, {"--sbatch", sbatch}));
  ASSERT_EQ(r.code, kSubmitOk) << r.err;
  EXPECT_NE(r.out.find("submitted job 4242: frames 1-20 in 3 tasks of up to 8 frames"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(file("logs") + "/magnifex-4242_<task>.log"), std::string::npos) << r.out;
  EXPECT_EQ(slurp(file("sbatch-args.txt")), "--parsable\n" + file("logs/magnifex.sbatch") + "\n");
  EXPECT_EQ(slurp(file("logs/magnifex.sbatch")), submit(with(job, {"--dry-run"})).out);
  EXPECT_TRUE(fs::is_directory(file("out"))); // ready for the tasks

  const Outcome refused =
    submit(with(job, {"--sbatch", program("refusing", "echo 'sbatch: error: invalid partition' >&2\nexit 1\n")}));
  EXPECT_EQ(refused.code, kSubmitFiles);
  EXPECT_NE(refused.err.find("failed (exit status 1); the batch script is " + file("logs/magnifex.sbatch")),
            std::string::npos)
    << refused.err;
  const Outcome missing = submit(with(job, {"--sbatch", file("no-such-sbatch")}));
  EXPECT_EQ(missing.code, kSubmitFiles);
  EXPECT_NE(missing.err.find("could not be run"), std::string::npos) << missing.err;
}
#endif

// What every task would meet before its first frame is found before anything is submitted, and
// an answer of sbatch's without a job number is no submission.
TEST_F(SubmitCommandTest, ChecksTheRenderAndTheAnswerBeforeSayingSubmitted)
{
  makeInputs(1, 4);
  std::ofstream(file("in.0006.exr")) << "frame";
  const std::vector<std::string> good = {"--plugin-dir", TEST_PLUGIN_DIR, "--class",         "TestScale", "--input",
                                         "@in.####.exr", "--output",      "@out/o.####.exr", "--log-dir", "@logs"};
  const std::string answering = program("answering", "echo \"$ANSWER\"\n");
  struct Case {
    const char* what;
    std::vector<std::string> args;
    const char* answer; // sbatch's standard output
    int code;
    const char* message; // on standard error, or standard output when submitted
  };
  const std::vector<Case> cases{
    {"an unknown knob", with(good, {"--frames", "1-4", "--set", "bogus=1"}), "1", kSubmitUsage, "unknown knob bogus"},
    {"no plug-in",
     {"--plugin-dir", "@none", "--input", "@in.####.exr", "--output", "@o.####.exr", "--frames", "1-4", "--log-dir",
      "@logs"},
     "1",
     kSubmitFiles,
     "nothing submitted: the render would fail before its first frame"},
    {"no input files", with(good, {"--input", "@none.####.exr", "--frames", "1-4"}), "1", kSubmitFiles,
     "no files match"},
    {"a frame without its file", with(good, {"--frames", "1-6"}), "1", kSubmitFiles,
     "frames of the range have no input file (5)"},
    {"a wrapper's line first", with(good, {"--frames", "1-4"}), "sbatch wrapper 2.1\n4242;farm", kSubmitOk,
     "submitted job 4242:"},
    {"no answer", with(good, {"--frames", "1-4"}), "", kSubmitFiles, "answered without a job number (nothing)"},
    {"words for a number", with(good, {"--frames", "1-4"}), "queued", kSubmitFiles,
     "answered without a job number ('queued"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(file("logs"));
    setenv("ANSWER", c.answer, 1);
    const Outcome r = submit(with(c.args, {"--sbatch", answering}));
    unsetenv("ANSWER");
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_NE((c.code == kSubmitOk ? r.out : r.err).find(c.message), std::string::npos) << r.err << r.out;
    // sbatch is not run when the render cannot start: no batch script was handed to it.
    if (c.code == kSubmitUsage || std::string(c.message).find("nothing submitted") != std::string::npos)
      EXPECT_EQ(r.out, "");
  }
}

TEST_F(SubmitCommandTest, RefusesWhatAFarmCannotDo)
{
  const std::vector<std::vector<std::string>> refused{
    with(kRender, {"--trace", "t.jsonl"}),
    with(kRender, {"--script-out", "n.nk"}),
    with(kRender, {"--validate-only"}),
    with(kRender, {"--chunk", "0"}),
    with(kRender, {"--max-running", "x"}),
    with(kRender, {"--dry-run=yes"}),
    with(kRender, {"--frobnicate"}),
    {"--input", "in.####.exr", "--output", "one.exr"},
    {"--input", "in.####.exr"},
  };
  for (const std::vector<std::string>& args : refused)
    EXPECT_THROW(parseSubmitCommandLine(args), UsageError) << args.back();
  // No --frames and no input files to take them from.
  const Outcome noFrames = submit({"--input", "@none.####.exr", "--output", "@o.####.exr", "--dry-run"});
  EXPECT_EQ(noFrames.code, kSubmitUsage);
  EXPECT_NE(noFrames.err.find("no files match"), std::string::npos) << noFrames.err;
}

TEST_F(SubmitCommandTest, StatusListsMissingFramesByTaskAndTheTasksThatFailed)
{
  fs::create_directories(file("logs"));
  for (int f : {1, 2, 3, 5})
    std::ofstream(file("o.000" + std::to_string(f) + ".exr")) << "frame";
  const std::string started = "magnifex-task 7_0: frames 1-2 on node1, attempt 1, 1 threads\n";
  std::ofstream(file("logs/magnifex-5_1.log"))
    << started << "magnifex-task 5_1: exit status 4; frames 3-4\n"; // an older job
  std::ofstream(file("logs/magnifex-7_0.log")) << started << "magnifex-task 7_0: exit status 0; frames 1-2\n";
  std::ofstream(file("logs/magnifex-7_1.log"))
    << started << "magnifex-task 7_1: exit status 4; frames 3-4: 1 rendered\n";
  std::ofstream(file("logs/magnifex-7_2.log")) << started << "magnifex-render: frame 5 done in 1 s\n";
  std::ofstream(file("logs/other-9_0.log")) << started << "magnifex-task 9_0: exit status 4\n"; // another job name
  // Another shot's later job of the same name in the same folder.
  std::ofstream(file("logs/magnifex-8_0.log")) << started << "magnifex-task 8_0: exit status 4\n";
  std::ofstream(file("logs/magnifex-8.shot")) << "output " << file("shot020.####.exr") << "\n";
  std::ofstream(file("logs/magnifex-7.shot")) << "output " << file("o.####.exr") << "\n";
  const std::vector<std::string> status = {"--output", "@o.####.exr", "--frames", "1-6",     "--chunk",
                                           "2",        "--log-dir",   "@logs",    "--status"};

  const Outcome r = submit(status);
  EXPECT_EQ(r.code, kSubmitFramesMissing) << r.err;
  EXPECT_NE(r.out.find("frames 1-6 of " + file("o.####.exr") + ": 4 there, 2 missing\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("task 1 (frames 3-4): missing 4\ntask 2 (frames 5-6): missing 6\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("magnifex-7_1.log: failed: magnifex-task 7_1: exit status 4"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("magnifex-7_2.log: not finished"), std::string::npos) << r.out;
  for (const char* quiet : {"magnifex-7_0.log", "magnifex-5_1.log", "other-9_0.log", "magnifex-8_0.log", "task 0"})
    EXPECT_EQ(r.out.find(quiet), std::string::npos) << quiet << "\n" << r.out;

  for (int f : {4, 6})
    std::ofstream(file("o.000" + std::to_string(f) + ".exr")) << "frame";
  const Outcome done = submit(status);
  EXPECT_EQ(done.code, kSubmitOk);
  EXPECT_NE(done.out.find("6 there, 0 missing\n"), std::string::npos) << done.out;
}
