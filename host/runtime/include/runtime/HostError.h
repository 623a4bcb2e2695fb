// Failures of the host runtime, by kind, so that a command can map them to exit codes.
#pragma once

#include <stdexcept>
#include <string>

namespace host_runtime {

class HostError : public std::runtime_error {
public:
  enum class Kind {
    UnknownKnob,  // no knob of that name
    BadValue,     // a value a knob cannot take
    BadPattern,   // a file name pattern that cannot name frames
    PluginLoad,   // the plug-in file could not be loaded
    UnknownClass, // no loaded plug-in registered the class
    NullOp,       // the class's build function gave no op
    Script,       // a saved script that cannot be read
    Input,        // input images that cannot be found or read
    Output        // output images that cannot be written
  };

  HostError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

private:
  Kind kind_;
};

} // namespace host_runtime
