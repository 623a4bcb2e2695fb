#include "runtime/KnobValueText.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "DDImageHost/KnobAccess.h"
#include "runtime/HostError.h"

namespace host_runtime {
namespace {

using DD::Image::host::KnobKind;

std::string lower(std::string s)
{
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

bool parseInteger(const std::string& text, long long& out)
{
  if (text.empty())
    return false;
  errno = 0;
  char* end = nullptr;
  out = std::strtoll(text.c_str(), &end, 10);
  return errno == 0 && end && *end == '\0' && out >= INT_MIN && out <= INT_MAX;
}

bool parseFloat(const std::string& text, double& out)
{
  if (text.empty())
    return false;
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return end && *end == '\0';
}

// Floats as scripts write them: enough digits to round-trip a 32-bit float.
std::string floatText(double v)
{
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.9g", v);
  return buffer;
}

HostError badValue(const DD::Image::Knob& knob, const std::string& text, const std::string& expected)
{
  return HostError(HostError::Kind::BadValue,
                   "bad value '" + text + "' for knob " + knob.name() + ": expected " + expected);
}

} // namespace

double parseKnobValue(const DD::Image::Knob& knob, const std::string& text)
{
  switch (DD::Image::host::kindOf(knob)) {
  case KnobKind::Int: {
    long long v;
    if (!parseInteger(text, v))
      throw badValue(knob, text, "an integer");
    return double(v);
  }
  case KnobKind::Bool: {
    const std::string t = lower(text);
    if (t == "true" || t == "1" || t == "on" || t == "yes")
      return 1.0;
    if (t == "false" || t == "0" || t == "off" || t == "no")
      return 0.0;
    throw badValue(knob, text, "true/false, 1/0, on/off or yes/no");
  }
  case KnobKind::Float: {
    double v;
    if (!parseFloat(text, v))
      throw badValue(knob, text, "a number");
    // strtod takes "nan" and "inf" (and overflows to inf): nobody means those for a knob. Float
    // knobs hold 32-bit floats, in which a larger number would become an infinity.
    if (!std::isfinite(v) || std::fabs(v) > std::numeric_limits<float>::max()) {
      const std::string largest = floatText(std::numeric_limits<float>::max());
      throw badValue(knob, text, "a finite number from -" + largest + " to " + largest);
    }
    return v;
  }
  case KnobKind::Enumeration: {
    const std::vector<std::string>& entries = knob.enumerationItems();
    for (std::size_t i = 0; i < entries.size(); ++i)
      if (entries[i] == text)
        return double(i);
    if (entries.empty())
      throw badValue(knob, text, "nothing: the enumeration has no entries");
    long long index;
    if (parseInteger(text, index) && index >= 0 && std::size_t(index) < entries.size())
      return double(index);
    std::string list;
    for (const std::string& e : entries)
      list += (list.empty() ? "" : ", ") + ("'" + e + "'");
    throw badValue(knob, text, "one of " + list + " or an index from 0 to " + std::to_string(entries.size() - 1));
  }
  default: throw HostError(HostError::Kind::BadValue, std::string("knob ") + knob.name() + " holds no value");
  }
}

std::string formatKnobValue(const DD::Image::Knob& knob)
{
  const double v = knob.get_value();
  switch (DD::Image::host::kindOf(knob)) {
  case KnobKind::Int: return std::to_string(int(v));
  case KnobKind::Bool: return v != 0.0 ? "true" : "false";
  case KnobKind::Enumeration: {
    const std::vector<std::string>& entries = knob.enumerationItems();
    const int index = int(v);
    // An index the entries do not cover (set by the op itself) is kept as a number.
    return index >= 0 && std::size_t(index) < entries.size() ? entries[std::size_t(index)] : std::to_string(index);
  }
  case KnobKind::Float: {
    if (std::isnan(v))
      return "nan";
    if (std::isinf(v))
      return v > 0 ? "inf" : "-inf";
    return floatText(v);
  }
  default: return "";
  }
}

} // namespace host_runtime
