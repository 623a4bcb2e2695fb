#include "runtime/PanelJson.h"

#include <vector>

#include "DDImage/Knobs.h"
#include "DDImageHost/KnobAccess.h"
#include "runtime/HostNode.h"
#include "runtime/JsonText.h"
#include "runtime/KnobValueText.h"

namespace host_runtime {
namespace {

namespace ddh = DD::Image::host;

std::string optionalString(const std::optional<std::string>& s)
{
  return s ? jsonString(*s) : "null";
}

std::string knobJson(const ddh::KnobInfo& k)
{
  JsonObject o;
  o.str("kind", ddh::kindName(k.kind)).raw("name", optionalString(k.name)).raw("label", optionalString(k.label));
  switch (k.kind) {
  case ddh::KnobKind::Int:
  case ddh::KnobKind::Float: o.num("value", k.value); break;
  case ddh::KnobKind::Bool: o.boolean("value", k.value != 0.0); break;
  case ddh::KnobKind::Enumeration:
    o.integer("value", (long long)k.value).str("value_label", formatKnobValue(*k.knob));
    break;
  default: o.null("value");
  }
  o.integer("flags", (long long)k.flags)
    .str("tooltip", k.tooltip)
    .boolean("enabled", k.enabled)
    .raw("entries", jsonStringArray(k.entries))
    .raw("text", optionalString(k.text));
  if (k.kind == ddh::KnobKind::GroupBegin)
    o.boolean("closed", k.groupMarker == DD::Image::GROUP_CLOSED);
  return o.text();
}

} // namespace

std::string panelJson(const HostNode& node)
{
  std::string out = "[\n";
  const std::vector<ddh::KnobInfo> knobs = node.knobs();
  for (std::size_t i = 0; i < knobs.size(); ++i)
    out += "  " + knobJson(knobs[i]) + (i + 1 < knobs.size() ? ",\n" : "\n");
  return out + "]\n";
}

} // namespace host_runtime
