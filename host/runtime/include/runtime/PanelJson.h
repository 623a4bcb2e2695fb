// The parameter panel as JSON: an array with one object per declared knob, in declaration order:
//   {"kind": "int", "name": "size", "label": "size", "value": 3, "flags": 4096, "tooltip": "...",
//    "enabled": true, "entries": [], "text": null}
// kind: text, divider, int, enum, bool, float, button, group_begin, group_end, tab. name and label
// are null when the knob function passed null. value: a number for int and float knobs, true/false
// for bool, the entry index for enum (with "value_label" the entry label), null for knobs holding
// no value. text: the shown text of text knobs, else null. Group starts add "closed": true/false.
#pragma once

#include <string>

namespace host_runtime {

class HostNode;

std::string panelJson(const HostNode& node);

} // namespace host_runtime
