// The options of magnifex-render.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "DDImage/ChannelSet.h"
#include "render/PixelType.h"

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
  std::string value;  // Set only
};

struct CommandLine {
  bool help = false;
  std::string pluginDir;   // --plugin-dir
  std::string pluginFile;  // --plugin
  std::string className = "Magnifex";
  std::vector<KnobAction> knobActions;  // --set / --press, in command-line order
  bool knobsJson = false;
  std::string scriptIn, scriptOut, trace;
  std::string input, output;
  std::string inputColorSpace, outputColorSpace;  // empty: by the files' pixel types
  std::optional<PixelType> outputType;            // empty: the input file's
  std::optional<std::pair<int, int>> frames;
  std::optional<DD::Image::ChannelSet> channels;
  bool validateOnly = false;
  bool gui = false;

  // Whether the node is driven through frames at all.
  bool drives() const { return !input.empty() || !output.empty() || frames || validateOnly; }
};

// UsageError for unknown options, missing or malformed arguments.
CommandLine parseCommandLine(const std::vector<std::string>& args);

// "A-B" or "A" (frames may be negative: "-5--1").
std::pair<int, int> parseFrameRange(const std::string& text);
// "rgb", "rgba", "red", "green", "blue", "alpha", or full channel names ("depth.Z"), comma-separated.
DD::Image::ChannelSet parseChannels(const std::string& text);
// "uint8", "uint16", "half" or "float".
PixelType parsePixelType(const std::string& text);

std::string helpText();

} // namespace render_command
