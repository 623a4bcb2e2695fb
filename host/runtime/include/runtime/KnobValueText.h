// Knob values as scripts and command lines write them.
#pragma once

#include <string>

#include "DDImage/Knob.h"

namespace host_runtime {

// Reads a value for a value knob: integers for int knobs; true/false, 1/0, on/off, yes/no for
// booleans; an entry label (or its index) for enumerations; a finite number for floats (nan and
// inf are no value anybody means). HostError BadValue, naming the knob, for anything else.
double parseKnobValue(const DD::Image::Knob& knob, const std::string& text);

// The current value as parseKnobValue reads it back: integers, true/false, the entry label,
// floats with enough digits to round-trip (nan and inf, which only an op can set, as such).
std::string formatKnobValue(const DD::Image::Knob& knob);

} // namespace host_runtime
