// A node's parameters as a script saves them:
//
//   Blur {
//    name Blur1
//    size 3
//    filter "box fast"
//   }
//
// The class, then one line per value knob in declaration order: its name and its value as
// formatKnobValue writes it, in double quotes (with \" and \\ escapes) when it is empty or holds
// blanks, quotes, braces, '#' or backslashes. Knobs flagged DO_NOT_WRITE are left out; hidden ones
// are written. Text, divider, group, tab and button knobs hold no value and are never written.
// Lines starting with '#' and blank lines are ignored when reading, as is a UTF-8 byte order mark
// that editors put at the start.
#pragma once

#include <cstddef>
#include <string>

namespace host_runtime {

class HostNode;

std::string writeNodeScript(const HostNode& node);

// Restores the values of a script written for the node's class, and the node name. Checks the
// whole script before changing anything; then stores all values at once and calls knob_changed
// for the knobs that changed (HostNode::setKnobs). HostError Script (with the line number) for a
// malformed script or another class, UnknownKnob / BadValue for knobs.
void readNodeScript(HostNode& node, const std::string& text, const std::string& sourceName = "script");

// Scripts are small: a larger file is not one (and /dev/zero would never end).
constexpr std::size_t kMaxNodeScriptBytes = std::size_t(1) << 20;

// The text of a script file: HostError Script when it is missing, not a regular file, or larger
// than kMaxNodeScriptBytes.
std::string readNodeScriptFile(const std::string& path);

} // namespace host_runtime
