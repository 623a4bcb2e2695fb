#include "commands/RenderCommand.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

#include "DDImageHost/Events.h"
#include "DDImageHost/OpControl.h"
#include "DDImageHost/Process.h"
#include "commands/Interruption.h"
#include "commands/OutputWindow.h"
#include "commands/OverwriteCheck.h"
#include "commands/PluginLocation.h"
#include "commands/RunSummary.h"
#include "commands/UnrenderedChannels.h"
#include "imagefiles/ColorSpaces.h"
#include "imagefiles/ImageFiles.h"
#include "runtime/AtomicFile.h"
#include "runtime/FileSequenceSource.h"
#include "runtime/FramePattern.h"
#include "runtime/HostError.h"
#include "runtime/HostNode.h"
#include "runtime/NodeScript.h"
#include "runtime/PanelJson.h"
#include "runtime/PluginLibrary.h"
#include "runtime/PluginRenderedChannels.h"
#include "runtime/PluginTraceFields.h"
#include "runtime/RenderSession.h"
#include "runtime/StaleTemporaries.h"
#include "runtime/TraceWriter.h"

namespace render_command {
namespace {

using host_runtime::HostError;

int exitCodeOf(HostError::Kind kind)
{
  switch (kind) {
  case HostError::Kind::UnknownKnob:
  case HostError::Kind::BadValue:
  case HostError::Kind::BadPattern: return kExitUsage;
  default: return kExitSetup;
  }
}

std::string boxText(const DD::Image::Box& b)
{
  return std::to_string(b.x()) + " " + std::to_string(b.y()) + " " + std::to_string(b.r()) + " " +
         std::to_string(b.t());
}

std::string channelsText(const DD::Image::ChannelSet& s)
{
  std::ostringstream o;
  o << s;
  return o.str();
}

// Frames as users write them: 2147483647, not 2.14748e+09 (fractional frames as they are).
std::string frameText(double frame)
{
  std::ostringstream o;
  if (frame == std::floor(frame) && std::fabs(frame) < 1e15)
    o << static_cast<long long>(frame);
  else
    o << frame;
  return o.str();
}

// --validate-only: one line per frame.
void printValidation(std::ostream& out, const host_runtime::FrameResult& r)
{
  out << "frame " << frameText(r.frame) << ": format " << boxText(r.format) << " (" << r.format.width() << "x"
      << r.format.height() << ", pixel aspect " << r.format.pixel_aspect() << "); bbox " << boxText(r.box)
      << "; channels " << channelsText(r.channels) << "; frame range " << r.firstFrame << "-" << r.lastFrame
      << "; contexts " << r.splitCount << " (frames";
  for (double f : r.contextFrames)
    out << " " << frameText(f);
  out << ")";
  for (const host_runtime::InputRequest& q : r.requests)
    out << "; request input " << q.input << " frame " << frameText(q.frame) << " box " << boxText(q.box) << " channels "
        << channelsText(q.channels) << " count " << q.count;
  out << "\n";
}

// Progress of frames that take a while, at most one line a second; a line per finished frame.
class ProgressPrinter {
public:
  explicit ProgressPrinter(std::ostream& err) : err_(err) {}
  void frameStarted() { start_ = lastLine_ = Clock::now(); }
  void progress(double frame, double fraction)
  {
    const Clock::time_point now = Clock::now();
    if (now - lastLine_ < std::chrono::seconds(1))
      return;
    lastLine_ = now;
    err_ << "magnifex-render: frame " << frameText(frame) << ": " << int(fraction * 100.0) << "%\n" << std::flush;
  }
  // Returns the frame's time in seconds.
  double frameDone(double frame)
  {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    err_ << "magnifex-render: frame " << frameText(frame) << " done in " << seconds << " s\n" << std::flush;
    return seconds;
  }

private:
  using Clock = std::chrono::steady_clock;
  std::ostream& err_;
  Clock::time_point start_, lastLine_;
};

void checkColorSpace(const std::string& option, const std::string& name)
{
  if (name.empty() || isKnownColorSpace(name))
    return;
  std::string known;
  for (const std::string& n : colorSpaceNames())
    known += (known.empty() ? "" : ", ") + n;
  throw UsageError("unknown colour space '" + name + "' for " + option + ": known are " + known);
}

// Outputs that would replace a file read by the command are refused before anything is written.
// Only existing output files can be inputs.
void refuseWritingOverInputs(const CommandLine& cl, const std::string& plugin,
                             const host_runtime::FileSequenceSource* input, const host_runtime::FramePattern& output,
                             std::pair<int, int> frames)
{
  std::vector<NamedFile> inputs{{"the plug-in", plugin}};
  if (!cl.scriptIn.empty())
    inputs.push_back({"--script-in", cl.scriptIn});
  if (input)
    for (const std::string& file : input->files())
      inputs.push_back({"--input", file});
  std::vector<NamedFile> outputs;
  if (!cl.trace.empty())
    outputs.push_back({"--trace", cl.trace});
  if (!cl.scriptOut.empty())
    outputs.push_back({"--script-out", cl.scriptOut});
  if (!cl.output.empty() && !output.hasFrameNumber())
    outputs.push_back({"--output", cl.output});
  if (!cl.output.empty() && output.hasFrameNumber())
    for (int f : output.existingFrames())
      if (f >= frames.first && f <= frames.second)
        outputs.push_back({"--output", output.pathFor(f)});
  refuseOverwritingInputs(inputs, outputs);
}

// --trace, --script-out and the output frames of the range must all be different files.
void refuseOutputsThatNameEachOther(const CommandLine& cl, const host_runtime::FramePattern& output,
                                    std::pair<int, int> frames)
{
  std::vector<NamedFile> files;
  if (!cl.trace.empty())
    files.push_back({"--trace", cl.trace});
  if (!cl.scriptOut.empty())
    files.push_back({"--script-out", cl.scriptOut});
  const std::size_t singles = files.size();
  if (!cl.output.empty() && !output.hasFrameNumber())
    files.push_back({"--output", cl.output});
  if (!cl.output.empty() && output.hasFrameNumber()) {
    const std::vector<NamedFile> named =
      patternFilesNamedBy({files.begin(), files.begin() + std::ptrdiff_t(singles)}, output, frames, "--output");
    files.insert(files.end(), named.begin(), named.end());
  }
  refuseOutputsNamingEachOther(files);
}

// Found before the first frame rather than after a render of many minutes: an output format
// nobody writes, a folder that is missing or takes no file, a name that stands for a folder, a
// pipe or a device (each output of the range that exists is looked at), a name too long.
void checkOutputCanBeWritten(const CommandLine& cl, const host_runtime::FramePattern& output,
                             std::pair<int, int> frames)
{
  if (cl.output.empty() || cl.validateOnly)
    return;
  const std::string first = output.pathFor(frames.first);
  const std::string problem = imageOutputProblem(first);
  if (!problem.empty())
    throw HostError(HostError::Kind::Output, "cannot write " + first + ": " + problem);
  host_runtime::AtomicFile probe(first); // made and removed again
  std::error_code ec;
  if (output.hasFrameNumber())
    for (int f : output.existingFrames())
      if (f >= frames.first && f <= frames.second && f != frames.first &&
          !std::filesystem::is_regular_file(output.pathFor(f), ec))
        host_runtime::AtomicFile other(output.pathFor(f)); // says what stands there
}

// The whole factor of a node's `scale` knob ("2x", "4x"); nothing for nodes without one.
std::optional<int> scaleFactorOf(const host_runtime::HostNode& node)
{
  try {
    const std::string label = node.knobText("scale");
    const std::size_t x = label.find('x');
    if (x == std::string::npos || x == 0 || label.find_first_not_of("0123456789") != x)
      return std::nullopt;
    return std::stoi(label.substr(0, x));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// The windows the first frame's file will have (the input's, scaled by the node's factor) must be
// ones its format can hold: an EXR's coordinates stop at +-2^30, within the input's limits once
// scaled 4x. Found before the first frame rather than when it is written.
void checkOutputWindows(const CommandLine& cl, const host_runtime::FramePattern& output,
                        const host_runtime::FileSequenceSource* input, const host_runtime::HostNode& node,
                        std::pair<int, int> frames)
{
  if (cl.output.empty() || cl.validateOnly || !input)
    return;
  const std::optional<int> factor = scaleFactorOf(node);
  if (!factor)
    return;
  host_runtime::ImageDescription d;
  try {
    d = input->describe(std::clamp(frames.first, input->firstFrame(), input->lastFrame()));
  } catch (const std::exception&) {
    return; // the frame's own render says why
  }
  const long long k = *factor;
  const std::string path = output.pathFor(frames.first);
  const std::string problem =
    imageWindowProblem(path, {k * d.format.x(), k * d.format.y(), k * d.format.w(), k * d.format.h()},
                       {k * d.bbox.x(), k * d.bbox.y(), k * d.bbox.w(), k * d.bbox.h()});
  if (!problem.empty())
    throw HostError(HostError::Kind::Output, "cannot write " + path + ": " + problem);
}

// Before the first frame: what the input's files will give that the user may not expect.
void warnAboutTheInput(const CommandLine& cl, const host_runtime::FileSequenceSource* input, std::pair<int, int> frames,
                       std::ostream& err)
{
  if (!input)
    return;
  const host_runtime::FramePattern pattern(cl.input);
  if (!pattern.hasFrameNumber())
    return;
  std::vector<std::string> beyond;
  pattern.existingFrames(&beyond);
  if (!beyond.empty())
    err << "magnifex-render: warning: " << beyond.size() << (beyond.size() == 1 ? " file" : " files") << " of "
        << cl.input << " (" << beyond.front() << (beyond.size() > 1 ? ", ..." : "")
        << ") have frame numbers beyond 32 bits and are no frames of the sequence\n";
  const int first = input->firstFrame(), last = input->lastFrame();
  auto held = [&](int from, int to, int shown, const char* end) {
    err << "magnifex-render: warning: frames " << rangeText({from, to}) << " lie outside the input's frames "
        << rangeText({first, last}) << ": they get its " << end << " frame, " << shown
        << ", as a read node holds its ends\n";
  };
  if (frames.first < first)
    held(frames.first, std::min(frames.second, first - 1), first, "first");
  if (frames.second > last)
    held(std::max(frames.first, last + 1), frames.second, last, "last");
}

// --check: every frame of the range that lies within the input's own must have its file (a
// render stops at the first that has none).
void checkInputFrames(const host_runtime::FileSequenceSource* input, const std::string& pattern,
                      std::pair<int, int> frames)
{
  if (!input || !host_runtime::FramePattern(pattern).hasFrameNumber())
    return;
  const std::vector<int> found = host_runtime::FramePattern(pattern).existingFrames();
  std::vector<int> missing;
  const int from = std::max(frames.first, input->firstFrame()), to = std::min(frames.second, input->lastFrame());
  for (long long f = from; f <= to && missing.size() < 100; ++f)
    if (!std::binary_search(found.begin(), found.end(), int(f)))
      missing.push_back(int(f));
  if (missing.empty())
    return;
  std::string list;
  for (std::size_t i = 0; i < missing.size() && i < 10; ++i)
    list += (i ? ", " : "") + std::to_string(missing[i]);
  throw HostError(HostError::Kind::Input, "frames of the range have no input file (" + list +
                                            (missing.size() > 10 ? ", ..." : "") + "): " + pattern);
}

// The plug-in reads this variable itself; a value it takes for neither on nor off is said here.
void warnAboutBFloat16Variable(std::ostream& err)
{
  const char* value = std::getenv("MAGNIFEX_CPU_BFLOAT16");
  if (!value)
    return;
  std::string v(value);
  for (char& c : v)
    c = char(std::tolower(static_cast<unsigned char>(c)));
  for (const char* known : {"", "1", "true", "on", "yes", "0", "false", "off", "no"})
    if (v == known)
      return;
  err << "magnifex-render: warning: MAGNIFEX_CPU_BFLOAT16=" << value
      << " is neither on (1, true, on, yes) nor off (0, false, off, no): taken as off, CPU renders stay float32\n";
}

// Temporaries of runs that were killed before they could remove them.
void removeTemporariesOfKilledRuns(const CommandLine& cl, const host_runtime::FramePattern& output, std::ostream& err)
{
  std::set<std::string> folders;
  for (const std::string& path : {cl.output.empty() ? std::string() : output.pathFor(0), cl.trace, cl.scriptOut})
    if (!path.empty())
      folders.insert(std::filesystem::path(path).parent_path().string());
  for (const std::string& folder : folders)
    if (const int removed = host_runtime::removeStaleTemporaries(folder))
      err << "magnifex-render: removed " << removed << " temporary file" << (removed == 1 ? "" : "s") << " left in "
          << (folder.empty() ? "." : folder) << " by a run that was killed\n";
}

bool fileExists(const std::string& path)
{
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

// A frame that gets no file: said on standard error and in the trace.
void reportSkip(std::ostream& err, int frame, const std::string& why, const char* reason)
{
  err << "magnifex-render: frame " << frame << " skipped: " << why << "\n" << std::flush;
  if (DD::Image::host::hasEventListeners())
    DD::Image::host::emit(DD::Image::host::Event("frame_skipped").with("skipped_frame", frame).with("reason", reason));
}

// The exit status of a render that was aborted: by a signal, as the signal says.
int abortedStatus()
{
  const int signal = interruptingSignal();
  return signal ? exitStatusForSignal(signal) : kExitAborted;
}

GpuKnob gpuKnobOf(const host_runtime::HostNode& node)
{
  GpuKnob g;
  try {
    const DD::Image::Knob& k = node.knob("use_gpu");
    g.present = true;
    g.on = k.get_value() != 0.0;
    g.enabled = k.isEnabled();
    const DD::Image::Knob& name = node.knob("gpuName");
    g.gpuName = name.text() ? name.text() : "";
  } catch (const HostError&) {
  }
  return g;
}

// `rendered`: the channels the node renders itself, as its plug-in says; nothing: all of them.
int drive(const CommandLine& cl, host_runtime::RenderSession& session, const host_runtime::FileSequenceSource* input,
          const ImageReadSettings& reading, std::pair<int, int> frames, const std::string& plugin,
          const std::optional<DD::Image::ChannelSet>& rendered, const host_runtime::HostNode& hostNode,
          std::ostream& out, std::ostream& err)
{
  const DD::Image::Iop& node = hostNode.op();
  // With --channels the output holds those channels alone: nothing is carried beside them.
  OtherChannelsRule otherChannels(cl.otherChannels, input ? rendered : std::nullopt, input,
                                  cl.channels ? ImageReadSettings{} : reading);
  const host_runtime::FramePattern output(cl.output);
  host_runtime::RenderOptions options;
  options.channels = cl.channels;
  options.validateOnly = cl.validateOnly;
  ProgressPrinter printer(err);
  session.setProgressCallback([&printer](double frame, double fraction) { printer.progress(frame, fraction); });
  if (!cl.validateOnly && isTestPack(plugin))
    err << "magnifex-render: warning: " << plugin
        << " is built with the tiny test networks: they are for tests and give no useful pictures\n";

  // The input frame shown at f was read for the render just before: its header is there to be had.
  auto writtenFormat = [&](int f) {
    if (!input)
      return node.format();
    try {
      return placedOutputFormat(node.format(),
                                input->describe(std::clamp(f, input->firstFrame(), input->lastFrame())).format);
    } catch (const std::exception&) {
      return node.format();
    }
  };
  FrameTally tally;
  auto renderOne = [&](int f) -> int {
    printer.frameStarted();
    host_runtime::FrameResult r = cl.validateOnly ? session.validateFrame(f, options) : session.renderFrame(f, options);
    if (r.status == host_runtime::FrameStatus::Failed) {
      err << "magnifex-render: error: frame " << f << ": " << r.error << "\n";
      tally.failed.push_back(f);
      return r.inputFailed ? kExitSetup : kExitNodeFailed;
    }
    if (r.status == host_runtime::FrameStatus::Aborted) {
      err << "magnifex-render: frame " << f << ": render aborted\n";
      return abortedStatus();
    }
    if (cl.validateOnly) {
      printValidation(out, r);
    } else if (r.renderedNothing()) {
      reportSkip(err, f, "the node wrote no pixels for it (outside its frame range?)", "no pixels");
      ++tally.empty;
    } else {
      if (!cl.output.empty()) {
        ImageWriteSettings settings;
        settings.templateFile = input ? input->fileShownAt(f) : std::string();
        settings.templatePart = cl.inputPart;
        settings.pixelType = cl.outputType;
        settings.colorSpace = cl.outputColorSpace;
        try {
          const DD::Image::ImagePlane& plane = otherChannels.apply(f, *r.plane, err);
          const WrittenImage written =
            writeImageFile(output.pathFor(f), plane, writtenFormat(f), settings, &otherChannels.carried());
          if (written.overflowed > 0)
            err << "magnifex-render: warning: frame " << f << ": " << written.overflowed
                << (written.overflowed == 1 ? " value is" : " values are")
                << " beyond the largest half float (65504) and written as infinity in " << output.pathFor(f)
                << " (--output-type float keeps them)\n";
        } catch (const HostError& e) {
          err << "magnifex-render: error: " << e.what() << "\n";
          tally.failed.push_back(f);
          return exitCodeOf(e.kind());
        }
      }
      tally.seconds += printer.frameDone(f);
      ++tally.rendered;
    }
    return kExitOk;
  };

  int code = kExitOk;
  // Frames are rendered one at a time: a frame's plane is written and dropped before the next.
  // The loop stops at the last frame itself, so that a range ending at the largest int does not wrap.
  for (int f = frames.first;; ++f) {
    int frameCode = kExitOk;
    if (cl.skipExisting && fileExists(output.pathFor(f))) {
      // The node is not asked for it at all; in sequence mode the next frame rendered no longer
      // follows the last one, and the node runs its preroll again.
      reportSkip(err, f, output.pathFor(f) + " exists (--skip-existing)", "output exists");
      ++tally.existed;
    } else {
      frameCode = renderOne(f);
    }
    if (code == kExitOk)
      code = frameCode;
    const bool interrupted = interruptingSignal() != 0;
    if (interrupted && code == kExitOk)
      code = abortedStatus();
    // A failed frame stops the run unless --keep-going; an abort always does.
    const bool stop = interrupted || frameCode == abortedStatus() || (frameCode != kExitOk && !cl.keepGoing);
    if (f == frames.second)
      break;
    if (stop) {
      tally.notRendered = std::make_pair(f + 1, frames.second);
      break;
    }
  }
  if (!cl.validateOnly) {
    session.close();
    err << "magnifex-render: " << summaryText(frames, tally) << "\n" << std::flush;
    // Frames were asked for and none has a file: a farm must not take that for a finished task.
    if (code == kExitOk && tally.rendered == 0 && tally.existed == 0) {
      err << "magnifex-render: error: no frame was rendered: the node wrote no pixels for frames " << rangeText(frames)
          << " (a range outside the node's frame range, or outside the input's?)\n";
      code = kExitNodeFailed;
    }
  }
  return code;
}

void setEnvironmentVariable(const char* name, const std::string& value)
{
#if defined(_WIN32)
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

// Before the plug-in is loaded, so that its tensor library starts with that many threads (it
// reads the variables when it first runs in parallel; the host does not link it).
void setThreadCount(int threads)
{
  const std::string n = std::to_string(threads);
  for (const char* variable : {"OMP_NUM_THREADS", "MKL_NUM_THREADS"})
    setEnvironmentVariable(variable, n);
}

int run(const CommandLine& cl, const std::string& programPath, std::ostream& out, std::ostream& err)
{
  DD::Image::host::setGUIActive(cl.gui);
  if (cl.threads)
    setThreadCount(*cl.threads);
  // The plug-in decides once per process, when it makes its first node.
  if (cl.cpuBFloat16)
    setEnvironmentVariable("MAGNIFEX_CPU_BFLOAT16", "1");
  checkColorSpace("--input-colorspace", cl.inputColorSpace);
  checkColorSpace("--output-colorspace", cl.outputColorSpace);
  const std::string plugin = pluginPath(cl, programPath);
  std::shared_ptr<host_runtime::FileSequenceSource> input;
  ImageReadSettings reading;
  // Whether the node says which channels it renders: then it is given only the file channels it
  // may render from, and the others are carried beside it.
  const auto nodeTellsItsChannels = std::make_shared<bool>(false);
  if (!cl.input.empty()) {
    reading.colorSpace = cl.inputColorSpace;
    reading.part = cl.inputPart;
    std::vector<std::string> asked;
    if (cl.channels)
      for (DD::Image::Channel c = cl.channels->first(); c != DD::Image::Chan_Black; c = cl.channels->next(c))
        asked.push_back(DD::Image::getName(c));
    // Known once the plug-in is loaded, before any file is read.
    reading.forNode = [asked, limited = nodeTellsItsChannels](const std::vector<std::string>& names) {
      return *limited ? channelsGivenToTheNode(names, asked) : std::vector<bool>(names.size(), true);
    };
    input = std::make_shared<host_runtime::FileSequenceSource>(host_runtime::FramePattern(cl.input),
                                                               imageFileReader(reading));
  }
  const std::pair<int, int> frames = cl.frames ? *cl.frames
                                     : input   ? std::make_pair(input->firstFrame(), input->lastFrame())
                                               : std::make_pair(1, 1);
  const host_runtime::FramePattern output(cl.output);
  if (!cl.output.empty() && !output.hasFrameNumber() && frames.second > frames.first)
    throw UsageError("--output needs a frame number (#### or %04d) to write several frames");
  refuseWritingOverInputs(cl, plugin, input.get(), output, frames);
  refuseOutputsThatNameEachOther(cl, output, frames);
  removeTemporariesOfKilledRuns(cl, output, err);
  checkOutputCanBeWritten(cl, output, frames);
  if (!cl.trace.empty())
    host_runtime::AtomicFile probe(cl.trace); // a folder or a device under its name is found now
  if (cl.check)
    checkInputFrames(input.get(), cl.input, frames);
  // Frames rendered into no file are work thrown away, unless a trace of them is what is wanted.
  if (!cl.input.empty() && cl.output.empty() && !cl.validateOnly && !cl.check)
    err << "magnifex-render: warning: --input without --output: every frame is rendered and written nowhere"
        << (cl.trace.empty() ? " (--validate-only shows what the node would do without rendering)" : "") << "\n";
  warnAboutTheInput(cl, input.get(), frames, err);
  warnAboutBFloat16Variable(err);

  std::unique_ptr<host_runtime::TraceWriter> trace;
  if (!cl.trace.empty())
    trace = std::make_unique<host_runtime::TraceWriter>(cl.trace);
  const host_runtime::PluginLibrary library = host_runtime::PluginLibrary::load(plugin);
  *nodeTellsItsChannels = host_runtime::pluginTellsRenderedChannels(library);
  std::unique_ptr<host_runtime::HostNode> node = host_runtime::HostNode::create(cl.className);
  if (trace)
    trace->setExtraFields(host_runtime::pluginTraceFields(library, node->op()));
  int code = kExitOk;
  {
    host_runtime::RenderSession session(*node, input);
    // The input is there before any parameter changes, as in a loaded script: reactions may read it.
    session.connectInputsAt(frames.first);
    if (!cl.scriptIn.empty())
      host_runtime::readNodeScript(*node, host_runtime::readNodeScriptFile(cl.scriptIn), cl.scriptIn);
    for (const KnobAction& action : cl.knobActions) {
      if (action.kind == KnobAction::Kind::Set)
        node->setKnob(action.name, action.value);
      else
        node->pressButton(action.name);
    }
    if (cl.knobsJson) {
      node->openPanel();
      out << host_runtime::panelJson(*node) << std::flush;
    }
    if (!cl.scriptOut.empty())
      host_runtime::writeFileAtomically(cl.scriptOut, host_runtime::writeNodeScript(*node));
    if (cl.drives() || cl.check) {
      const std::string idle = idleGpuWarning(gpuKnobOf(*node), cl.scriptIn);
      if (!idle.empty())
        err << "magnifex-render: warning: " << idle << "\n";
      checkOutputWindows(cl, output, input.get(), *node, frames);
    }
    if (cl.check) {
      out << host_runtime::writeNodeScript(*node) << std::flush;
      err << "magnifex-render: frames " << rangeText(frames) << " can be rendered (--check)\n";
    }
    if (cl.drives())
      code = drive(cl, session, input.get(), reading, frames, plugin,
                   host_runtime::pluginRenderedChannels(library, node->op()), *node, out, err);
  }
  node.reset(); // destroyed while the trace still listens
  if (trace)
    trace->finish();
  if (code == kExitOk && interruptingSignal())
    code = abortedStatus();
  return code;
}

} // namespace

std::string idleGpuWarning(const GpuKnob& knob, const std::string& scriptIn)
{
  if (!knob.present || knob.on || !knob.enabled)
    return {};
  return "use_gpu is off" + (scriptIn.empty() ? std::string() : " (in " + scriptIn + " or --set)") +
         " and this machine has a GPU the node can use" + (knob.gpuName.empty() ? "" : " (" + knob.gpuName + ")") +
         ": the render runs on the CPU. Scripts saved on a machine without a usable GPU save use_gpu off; "
         "--set use_gpu=true renders on the GPU";
}

int runRenderCommand(const CommandLine& cl, const std::string& programPath, std::ostream& out, std::ostream& err)
{
  if (cl.help) {
    out << helpText();
    return kExitOk;
  }
  try {
    return run(cl, programPath, out, err);
  } catch (const UsageError& e) {
    err << "magnifex-render: error: " << e.what() << " (see --help)\n";
    return kExitUsage;
  } catch (const HostError& e) {
    err << "magnifex-render: error: " << e.what() << "\n";
    return exitCodeOf(e.kind());
  } catch (const std::exception& e) {
    err << "magnifex-render: error: " << e.what() << "\n";
    return kExitUnexpected;
  }
}

} // namespace render_command
