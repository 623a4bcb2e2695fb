// Knob values as scripts and command lines give them (parseKnobValue): the first byte picks a knob
// of a FuzzKnobs node, the rest is the text. A knob without a value refuses every text; a value
// that is taken lies in the knob's range, and once stored, is written (formatKnobValue) as text
// that reads and stores back as the same value.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "DDImageHost/KnobAccess.h"
#include "runtime/HostError.h"
#include "runtime/HostNode.h"
#include "runtime/KnobValueText.h"
#include "support/FuzzCheck.h"
#include "support/FuzzNode.h"

using namespace host_runtime;
using DD::Image::host::KnobKind;
using magnifex_fuzz::expect;

namespace {

// Whether a value taken for a knob of this kind is one the knob can hold.
bool withinRange(const DD::Image::host::KnobInfo& knob, double value)
{
  switch (knob.kind) {
  case KnobKind::Int: return value == std::trunc(value) && value >= -2147483648.0 && value <= 2147483647.0;
  case KnobKind::Bool: return value == 0.0 || value == 1.0;
  case KnobKind::Enumeration: return value == std::trunc(value) && value >= 0.0 && value < double(knob.entries.size());
  case KnobKind::Float: return std::isfinite(value);
  default: return false;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size == 0)
    return 0;
  auto node = HostNode::create(magnifex_fuzz::fuzzNodeClass(), "Fuzz1");
  const std::vector<DD::Image::host::KnobInfo> knobs = node->knobs();
  const DD::Image::host::KnobInfo& info = knobs[data[0] % knobs.size()];
  DD::Image::Knob& knob = *info.knob;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  double value = 0.0;
  try {
    value = parseKnobValue(knob, text);
  } catch (const HostError& e) {
    expect(e.kind() == HostError::Kind::BadValue, "a refused value is not reported as a bad value");
    return 0;
  }
  expect(DD::Image::host::holdsValue(info.kind), "a knob without a value took one");
  expect(withinRange(info, value), "a value was taken that the knob cannot hold");

  node->setKnobValue(*info.name, value);
  const double stored = knob.get_value();
  const std::string written = formatKnobValue(knob);
  double readBack = 0.0;
  try {
    readBack = parseKnobValue(knob, written);
  } catch (const HostError& e) {
    magnifex_fuzz::fail("the value written for '" + text + "' is refused: " + e.what());
  }
  node->setKnobValue(*info.name, readBack);
  expect(knob.get_value() == stored, "a written value reads back as another");
  return 0;
}
