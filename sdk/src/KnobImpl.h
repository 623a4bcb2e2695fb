// The state behind a Knob; private to the runtime library.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "DDImage/Knob.h"

namespace DD {
namespace Image {

struct KnobImpl {
  int type = 0;
  int storeType = 0;
  std::optional<std::string> name;
  std::optional<std::string> label;
  std::string tooltip;
  Knob::FlagMask flags = 0;
  bool enabled = true;
  void* pointer = nullptr; // the op member holding the value (store types IntPtr, BoolPtr, FloatPtr)
  std::vector<std::string> entries;
  std::optional<std::string> text;
  int groupMarker = 0;
  Op* op = nullptr;
};

} // namespace Image
} // namespace DD
