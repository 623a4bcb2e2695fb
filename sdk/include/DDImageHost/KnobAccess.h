// Host side only: building an op's knobs and reading them back as the panel shows them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "DDImage/DDImage_API.h"
#include "DDImage/Knob.h"

namespace DD {
namespace Image {

class Op;

namespace host {

enum class KnobKind { Text, Divider, Int, Enumeration, Bool, Float, Button, GroupBegin, GroupEnd, Tab, Other };

// "text", "divider", "int", "enum", "bool", "float", "button", "group_begin", "group_end", "tab", "other".
DDImage_API const char* kindName(KnobKind kind);
// Int, Enumeration, Bool and Float knobs hold a value in an op member; the others do not.
DDImage_API bool holdsValue(KnobKind kind);

// A knob as declared and as it stands now.
struct DDImage_API KnobInfo {
  Knob* knob = nullptr;
  KnobKind kind = KnobKind::Other;
  int type = 0;
  int storeType = 0;
  std::optional<std::string> name;  // absent when the knob function passed null
  std::optional<std::string> label; // absent when null was passed (the panel then shows the name)
  Knob::FlagMask flags = 0;
  std::string tooltip;
  bool enabled = true;
  std::vector<std::string> entries; // enumeration labels
  std::optional<std::string> text;  // text knobs only
  int groupMarker = 0;              // GROUP_OPEN / GROUP_CLOSED / GROUP_END for groups, else 0
  double value = 0.0;               // value knobs only, read from the op member now
};

DDImage_API KnobKind kindOf(const Knob& knob);
DDImage_API KnobInfo describe(const Knob& knob);

// Runs op.knobs() with the host's closure. Safe to repeat: a declaration that matches an existing
// knob (same kind and name, or the same position for unnamed knobs) keeps that Knob object with
// its text, tooltip, flags and enabled state and only rebinds its value pointer; tooltips and flag
// changes of the declarations apply to newly made knobs only. Knobs no longer declared are
// destroyed. Knob values stay where they are: in the op members the knobs point at.
DDImage_API void buildKnobs(Op& op);

// The op's knobs in declaration order (empty before buildKnobs).
DDImage_API std::vector<Knob*> knobsOf(const Op& op);

} // namespace host
} // namespace Image
} // namespace DD
