// The options of magnifex-render.
#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "DDImage/ChannelSet.h"
#include "imagefiles/PixelType.h"

namespace CLI {
class App;
}

namespace render_command {

// A command line that cannot be run as given.
class UsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct KnobAction {
  enum class Kind { Set, Press };
  Kind kind;
  std::string name;
  std::string value; // Set only
};

// Channels of the input the node does not render: upscaled with a conventional filter, or left out.
enum class OtherChannels { Resize, Drop };

struct CommandLine {
  bool help = false;
  std::string pluginDir;  // --plugin-dir
  std::string pluginFile; // --plugin
  std::string className = "Magnifex";
  std::vector<KnobAction> knobActions; // --set / --press, in command-line order
  bool knobsJson = false;
  std::string scriptIn, scriptOut, trace;
  std::string input, output;
  std::string inputColorSpace, outputColorSpace; // empty: by the files' pixel types
  std::string inputPart;                         // --input-part: of files with several parts
  std::optional<PixelType> outputType;           // empty: the input file's
  std::optional<std::pair<int, int>> frames;
  std::optional<DD::Image::ChannelSet> channels;
  bool validateOnly = false;
  bool check = false; // --check: everything before the first frame, no frame
  bool gui = false;
  bool skipExisting = false; // frames whose --output file exists are not rendered
  bool keepGoing = false;    // frames after one that failed are still rendered
  OtherChannels otherChannels = OtherChannels::Resize;
  std::optional<int> threads; // CPU threads of the tensor library
  bool cpuBFloat16 = false;   // CPU passes may run in BFloat16 (the plug-in's opt-in variable)

  // The command's own options as given, in order (a foreign option's words left out): what
  // another command that wraps this one (magnifex-submit) passes on.
  struct GivenOption {
    std::string name;               // "--set"
    std::vector<std::string> words; // {"--set", "mode=sequence"} or {"--set=mode=sequence"}
  };
  std::vector<GivenOption> given;

  // Whether the node is driven through frames at all.
  bool drives() const { return !check && (!input.empty() || !output.empty() || frames || validateOnly); }
};

// Adds the options of a command that wraps this one (magnifex-submit's) to the parser; they are
// left out of CommandLine::given.
using MoreOptions = std::function<void(CLI::App& app)>;

// UsageError for unknown options, missing or malformed arguments. A value follows its option as
// the next argument or after '='; options may repeat (the last one counts, --set and --press act
// each time).
CommandLine parseCommandLine(const std::vector<std::string>& args, const MoreOptions& more = {});
// A whole number of at least 1 (UsageError naming `option` otherwise).
int parseCount(const std::string& option, const std::string& text);

// "A-B" or "A" (frames may be negative: "-5--1").
std::pair<int, int> parseFrameRange(const std::string& text);
// "rgb", "rgba", "red", "green", "blue", "alpha", or full channel names ("depth.Z"), comma-separated.
DD::Image::ChannelSet parseChannels(const std::string& text);
// "uint8", "uint16", "half" or "float".
PixelType parsePixelType(const std::string& text);

std::string helpText();

} // namespace render_command
