#include "commands/CommandLine.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>

#include <CLI/CLI.hpp>

namespace render_command {
namespace {

bool parseInt(const std::string& s, int& out)
{
  if (s.empty())
    return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(s.c_str(), &end, 10);
  if (errno || !end || *end || v < INT_MIN || v > INT_MAX)
    return false;
  out = int(v);
  return true;
}

} // namespace

std::pair<int, int> parseFrameRange(const std::string& text)
{
  // The separating '-' is the first one after the first character (which may be a sign).
  const std::size_t dash = text.find('-', 1);
  int first = 0, last = 0;
  if (dash == std::string::npos) {
    if (!parseInt(text, first))
      throw UsageError("bad frame range '" + text + "': expected A-B or A");
    return {first, first};
  }
  if (!parseInt(text.substr(0, dash), first) || !parseInt(text.substr(dash + 1), last))
    throw UsageError("bad frame range '" + text + "': expected A-B or A");
  if (last < first)
    throw UsageError("bad frame range '" + text + "': the last frame is before the first");
  return {first, last};
}

DD::Image::ChannelSet parseChannels(const std::string& text)
{
  DD::Image::ChannelSet set;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string name = text.substr(start, comma - start);
    start = comma + 1;
    if (name == "rgb")
      set |= DD::Image::Mask_RGB;
    else if (name == "rgba")
      set |= DD::Image::Mask_RGBA;
    else if (name == "red")
      set += DD::Image::Chan_Red;
    else if (name == "green")
      set += DD::Image::Chan_Green;
    else if (name == "blue")
      set += DD::Image::Chan_Blue;
    else if (name == "alpha")
      set += DD::Image::Chan_Alpha;
    else if (name.find('.') != std::string::npos && name.front() != '.' && name.back() != '.') {
      const DD::Image::Channel c = DD::Image::getChannel(name.c_str());
      if (c == DD::Image::Chan_Black)
        throw UsageError("too many channels: " + name);
      set += c;
    } else {
      throw UsageError("bad channel '" + name + "': expected rgb, rgba, red, green, blue, alpha or layer.channel");
    }
  }
  return set;
}

int parseCount(const std::string& option, const std::string& text)
{
  int n = 0;
  if (!parseInt(text, n) || n < 1)
    throw UsageError(option + " needs a whole number of at least 1, not '" + text + "'");
  return n;
}

PixelType parsePixelType(const std::string& text)
{
  if (text == "uint8")
    return PixelType::UInt8;
  if (text == "uint16")
    return PixelType::UInt16;
  if (text == "half")
    return PixelType::Half;
  if (text == "float")
    return PixelType::Float;
  throw UsageError("bad pixel type '" + text + "': expected uint8, uint16, half or float");
}

namespace {

// What the command line's options are read into; read after parsing, so that every value goes
// through the same checks and messages whatever its spelling (--name value, --name=value).
struct RawOptions {
  std::string outputType, frames, channels, otherChannels, threads;
  std::vector<std::string> sets, presses;
};

} // namespace

// The parser's two messages a user meets, in the words of the rest of the command: a value missing
// after an option ("--set: 1 required TEXT missing"), one given to a flag ("help was given a
// disallowed flag override").
std::string usageMessage(const CLI::ParseError& e)
{
  const std::string what = e.what();
  const std::size_t missing = what.find(": ");
  if (missing != std::string::npos && what.find("required") != std::string::npos && what.compare(0, 2, "--") == 0)
    return what.substr(0, missing) + " needs a value";
  const std::size_t flag = what.find(" was given a disallowed flag override");
  if (flag != std::string::npos)
    return "--" + what.substr(0, flag) + " takes no value";
  return what;
}

CommandLine parseCommandLine(const std::vector<std::string>& args, const MoreOptions& more)
{
  CommandLine cl;
  RawOptions raw;
  CLI::App app("magnifex-render");
  app.set_help_flag(); // the command's own --help and text
  app.allow_extras();  // reported below, in the command's words
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

  std::vector<const CLI::Option*> own;
  auto value = [&](const char* name, std::string& into) { own.push_back(app.add_option(name, into)); };
  auto flag = [&](const char* name, bool& into) { own.push_back(app.add_flag(name, into)->disable_flag_override()); };
  flag("-h,--help", cl.help);
  value("--plugin-dir", cl.pluginDir);
  value("--plugin", cl.pluginFile);
  value("--class", cl.className);
  // Repeatable, one value each time.
  for (auto [name, into] : {std::pair{"--set", &raw.sets}, std::pair{"--press", &raw.presses}})
    own.push_back(app.add_option(name, *into)->allow_extra_args(false)->take_all());
  flag("--knobs-json", cl.knobsJson);
  value("--script-in", cl.scriptIn);
  value("--script-out", cl.scriptOut);
  value("--trace", cl.trace);
  value("--input", cl.input);
  value("--output", cl.output);
  value("--input-colorspace", cl.inputColorSpace);
  value("--input-part", cl.inputPart);
  value("--output-colorspace", cl.outputColorSpace);
  value("--output-type", raw.outputType);
  value("--frames", raw.frames);
  value("--channels", raw.channels);
  flag("--validate-only", cl.validateOnly);
  flag("--check", cl.check);
  flag("--gui", cl.gui);
  flag("--skip-existing", cl.skipExisting);
  flag("--keep-going", cl.keepGoing);
  value("--other-channels", raw.otherChannels);
  value("--threads", raw.threads);
  flag("--cpu-bfloat16", cl.cpuBFloat16);
  if (more)
    more(app);

  std::vector<std::string> reversed(args.rbegin(), args.rend()); // the order CLI11 consumes
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    throw UsageError(usageMessage(e));
  }
  if (!app.remaining().empty())
    throw UsageError("unknown option '" + app.remaining().front() + "'");

  // The options in command-line order: --set and --press act in that order, and a command that
  // wraps this one passes the options on as they were given.
  std::map<const CLI::Option*, std::size_t> seen;
  for (const CLI::Option* o : app.parse_order()) {
    const std::size_t occurrence = seen[o]++;
    if (std::find(own.begin(), own.end(), o) == own.end())
      continue;
    const std::string name = "--" + o->get_lnames().front();
    CommandLine::GivenOption given{name, {name}};
    if (o->get_expected_min() > 0 && occurrence < o->results().size())
      given.words.push_back(o->results()[occurrence]);
    if (name == "--set") {
      const std::string& v = given.words.back();
      const std::size_t at = v.find('=');
      if (at == std::string::npos || at == 0)
        throw UsageError("--set needs NAME=VALUE, not '" + v + "'");
      cl.knobActions.push_back({KnobAction::Kind::Set, v.substr(0, at), v.substr(at + 1)});
    } else if (name == "--press") {
      cl.knobActions.push_back({KnobAction::Kind::Press, given.words.back(), {}});
    }
    cl.given.push_back(std::move(given));
  }

  if (app.count("--output-type"))
    cl.outputType = parsePixelType(raw.outputType);
  if (app.count("--frames"))
    cl.frames = parseFrameRange(raw.frames);
  if (app.count("--channels"))
    cl.channels = parseChannels(raw.channels);
  if (app.count("--other-channels")) {
    if (raw.otherChannels == "resize")
      cl.otherChannels = OtherChannels::Resize;
    else if (raw.otherChannels == "drop")
      cl.otherChannels = OtherChannels::Drop;
    else
      throw UsageError("bad --other-channels '" + raw.otherChannels + "': expected resize or drop");
  }
  if (app.count("--threads"))
    cl.threads = parseCount("--threads", raw.threads);
  if (cl.validateOnly && !cl.output.empty())
    throw UsageError("--validate-only renders nothing to --output");
  if (cl.skipExisting && cl.output.empty())
    throw UsageError("--skip-existing needs --output");
  if (cl.check && cl.validateOnly)
    throw UsageError("--check and --validate-only: choose one");

  return cl;
}

std::string helpText()
{
  return R"(usage: magnifex-render [options]

Loads a node plug-in the way the compositing host does, builds one node of its class and drives
it: parameters, panel, saved scripts, and validation and rendering of frames of an input.

Plug-in:
  --plugin-dir DIR     load DIR/<class>.so (.dll on Windows). Default: $MAGNIFEX_PLUGIN_DIR, else
                       the best pack built next to this program: <directory of this program>/
                       ../plugins/studio, else ../plugins/trained, else ../plugins/reference,
                       else ../plugins/tiny.
                       Rendering with a plug-in directory named tiny (test networks) prints a
                       warning: its pictures are of no use
  --plugin FILE        load this plug-in file instead. A library file cut short (segments
                       beyond its end) is reported as damaged instead of being loaded
  --class NAME         the node class to build (default Magnifex)

Parameters (applied in this order: --script-in, then --set / --press in command-line order):
  --script-in FILE     restore parameters saved with --script-out (a regular file of at most
                       1 MiB; a UTF-8 byte order mark at its start is skipped)
  --set NAME=VALUE     set a knob; repeatable. Integers for int knobs; true/false, 1/0, on/off,
                       yes/no for booleans; an entry label or index for enumerations; numbers for
                       float knobs (finite ones: nan and inf are refused). knob_changed runs
                       when the value changes.
  --press NAME         press a button knob (knob_changed with it); repeatable
  --knobs-json         open the panel (knob_changed with the panel-shown knob) and print it to
                       standard output as a JSON array, one object per declared knob:
                       kind (text, divider, int, enum, bool, float, button, group_begin,
                       group_end, tab), name, label, value (enum: index, with value_label),
                       flags (number), tooltip, enabled, entries, text; group_begin adds closed
  --script-out FILE    save the parameters, after the changes above. Script form:
                         <Class> {
                          name <node name>
                          <knob> <value>        one line per value knob, declaration order;
                         }                      "quoted" when blank or special; knobs flagged
                                                DO_NOT_WRITE are left out, hidden ones written

Driving (any of --input, --output, --frames, --validate-only drives the node):
  --input PATH         input 0: an image file, or a sequence such as plate.%04d.exr or
                       plate.####.exr (frames found on disk give the frame range; the ends are
                       held outside it). Any file OpenImageIO reads (EXR, TIFF, PNG, JPEG, DPX...).
                       Frame numbers have at most 32 digits, patterns at most 4096 characters.
                       Refused as unreadable: empty images, coordinates beyond +-536870911 (a 4x
                       upscale must still fit 32 bits), more than 16 GiB of float samples, files
                       cut short (with the reason), folders, pipes and devices
  --input-part PART    of input files with several parts (EXR parts, TIFF pages), the one to
                       render, by name or index. Files of several parts are refused without it:
                       one part is rendered, and the others would be lost without a word
  --frames A-B         frames to render (or a single frame A). Default: the input's frame
                       range, or frame 1 without an input. Frames outside the input's range
                       get its first or last frame, as a read node holds its ends; the run
                       says so
  --channels LIST      channels to render: rgb, rgba, red, green, blue, alpha or layer.channel
                       names, comma-separated. Default: all the node's output channels
  --other-channels resize|drop
                       what becomes of input channels the Magnifex node does not render (it
                       renders R, G, B, and alpha in sequence mode for CG and hybrid material; it
                       fills the others with 1). resize (default): upscaled from the input with
                       OpenImageIO's resize (Catmull-Rom filter), within the input's own range of
                       values; drop: left out of the output. The run says which channels
  --output PATTERN     write each rendered frame (its bounding box as the data window, its
                       format as the display window); needs #### or %04d for several frames.
                       Any format OpenImageIO writes, chosen by the extension. The output keeps
                       the input frame's channel names, pixel aspect and metadata where the
                       format can hold them; sizes the metadata states (Exif pixel dimensions)
                       are the output's. Each file is written under a temporary name in its
                       folder, synced to the disk and renamed once complete: a failed write (a
                       full disk) or an aborted frame leaves no file, and an older file of that
                       name as it was. Temporaries left by a run that was killed are removed by
                       the next run into that folder. Before the first frame: the folder must
                       take a file and the extension name a format. No output (nor --trace,
                       --script-out) may name a file that is read (input frames, --script-in,
                       the plug-in), nor another output, nor a folder, pipe or device. An output
                       that is a link is written through it: the file it names is replaced and
                       the link stays
  --output-type TYPE   pixel type of the output: uint8, uint16, half or float. Default: the
                       input file's (float without an input). Formats write the nearest type
                       they hold (PNG and JPEG: integers; EXR: half or float)
  --input-colorspace NAME, --output-colorspace NAME
                       colour space of the input files / of the output files. Renders work in
                       linear light: inputs are converted to it when read, outputs from it when
                       written. Default, as read and write nodes do: DPX files marked
                       logarithmic and Cineon files are Cineon log (and a DPX output of a log
                       DPX input is written as log); otherwise by the file's pixel type: float
                       and half files are linear, 8- and 16-bit integer files sRGB.
                       Names: linear (no conversion; with $OCIO, the configuration's
                       scene_linear role), sRGB, Rec709, Cineon (black 95, white 685, film
                       gamma 0.6); with $OCIO set, also every colour space and role of that
                       OpenColorIO configuration. Only R, G, B (or the Y of a grey file) are
                       converted; alpha and other channels are data, never converted
  --skip-existing      frames whose --output file exists are not rendered (a farm task that
                       runs again redoes only what is missing). In sequence mode the first frame
                       rendered after one skipped runs its own preroll
  --keep-going         render the frames after one that failed (its input unreadable, the node
                       failing, its file not written) instead of stopping there; the exit status
                       is still that of the first failure
  --threads N          CPU threads of the plug-in's tensor library: sets OMP_NUM_THREADS and
                       MKL_NUM_THREADS before the plug-in is loaded. Default: as the environment
                       says, else one per core. More threads than cores make renders much slower
  --cpu-bfloat16       on a CPU with BFloat16 units, run the networks' passes in BFloat16 where the
                       networks allow it and the knob mixedprecision is on (its default): sets
                       MAGNIFEX_CPU_BFLOAT16=1 before the plug-in is loaded. Several times faster,
                       about 50 dB from float32. Without it CPU renders are float32
  --validate-only      per frame: input contexts, validation and requests, no open or render;
                       prints the output format, box, channels, contexts and requests
  --check              check everything a render checks before its first frame, render nothing,
                       and print the node's parameters as a script (--script-out's form): the
                       plug-in, the parameters, an input file for every frame of the range within
                       the input's, the outputs and their windows. magnifex-submit runs it before
                       submitting. --input without --output (nor --validate-only, --check)
                       renders every frame into no file, with a warning
  --gui                run as an interactive session (Application::IsGUIActive() is true);
                       default: a batch render

Tracing:
  --trace FILE         write every exchange between the host and the node as JSON lines: knob
                       changes, validation results, split_input counts, input contexts and their
                       frames, requests, open, render start and end, progress, fetches of input
                       planes, errors and aborts, close, destroy, skipped frames (frame_skipped,
                       and render_end with pixels_written false). A plug-in may add fields of its
                       own by exporting
                         extern "C" const char* host_trace_fields(const DD::Image::Op*, const char* event)
                       returning a one-line JSON object. The lines go to a temporary file
                       beside FILE as they happen, which takes the name FILE when the command
                       ends (whatever its exit status)

  --help, -h           this text

Progress of long frames (a line a second at most), a line per finished or skipped frame and, at
the end, a summary line go to standard error:
  magnifex-render: frames A-B: N rendered (S s per frame), E already written, P without pixels
followed by "; failed: F, G" and "; not rendered: H-B" when frames failed or were not tried.
A frame for which the node wrote no pixels (in sequence mode, a frame outside its frame range) is
skipped: no file is written for it, and it does not change the exit status, unless no frame of
the range was rendered at all (exit 4). Ctrl-C (SIGINT), and SIGTERM and SIGHUP (what a farm
sends when it cancels or preempts a task), abort the render at its next abort point: every
temporary file is removed and the program exits 128 + the signal's number. A second signal ends
the program at once, its temporaries removed first.

Exit status:
  0    success
  1    unexpected failure
  2    bad command line: unknown option, missing or malformed value, unknown knob, bad knob value
       (nan and inf included), unknown colour space, a frame pattern too wide or too long, an
       output that names an input or another output
  3    files and loading: plug-in that fails to load or is damaged, class not registered, node
       not built, unreadable script, missing or unreadable input (a frame of the range without
       its file, an image too large or cut short, a file of several parts without --input-part,
       memory to read it exhausted), unwritable output or trace (a missing folder, an unknown
       format, a write that did not complete)
  4    the node failed (its error during validation or rendering, memory exhausted included),
       or no frame of the range was rendered
  129  ended by SIGHUP
  130  the render was aborted (Ctrl-C, SIGINT)
  143  ended by SIGTERM
)";
}

} // namespace render_command
