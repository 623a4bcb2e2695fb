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
// Lines starting with '#' and blank lines are ignored when reading.
#pragma once

#include <string>

namespace host_runtime {

class HostNode;

std::string writeNodeScript(const HostNode& node);

// Restores the values of a script written for the node's class, and the node name. Checks the
// whole script before changing anything; then stores all values at once and calls knob_changed
// for the knobs that changed (HostNode::setKnobs). HostError Script (with the line number) for a
// malformed script or another class, UnknownKnob / BadValue for knobs.
void readNodeScript(HostNode& node, const std::string& text, const std::string& sourceName = "script");

} // namespace host_runtime
