#include "models/CpuFacts.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include <ATen/Context.h>
#include <ATen/cpu/Utils.h>

namespace magnifex {

namespace {

bool ends_with(const std::string& s, const std::string& tail)
{
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// "amx_bf16" -> "AMX-BF16".
std::string unit_name(std::string flag)
{
  for (char& c : flag)
    c = c == '_' ? '-' : char(std::toupper(static_cast<unsigned char>(c)));
  return flag;
}

} // namespace

CpuBFloat16 cpu_bfloat16_from(const std::vector<std::pair<std::string, bool>>& flags, bool has_onednn)
{
  std::vector<std::string> units;
  for (const auto& [name, present] : flags)
    if (present && ends_with(name, "bf16"))
      units.push_back(unit_name(name));
  std::sort(units.begin(), units.end());
  CpuBFloat16 support;
  if (!has_onednn || units.empty())
    return support;
  support.native = true;
  for (const std::string& unit : units)
    support.units += (support.units.empty() ? "" : ", ") + unit;
  return support;
}

bool cpu_bfloat16_requested(const char* value)
{
  if (!value)
    return false;
  std::string v(value);
  for (char& c : v)
    c = char(std::tolower(static_cast<unsigned char>(c)));
  return v == "1" || v == "true" || v == "on" || v == "yes";
}

const CpuBFloat16& this_cpu_bfloat16()
{
  static const CpuBFloat16 support = [] {
    std::vector<std::pair<std::string, bool>> flags;
    try {
      for (const auto& [name, value] : at::cpu::get_cpu_capabilities())
        if (value.isBool())
          flags.emplace_back(name, value.toBool());
    } catch (const std::exception&) {
      // A CPU cpuinfo cannot read computes in float32.
    }
    CpuBFloat16 found = cpu_bfloat16_from(flags, at::hasMKLDNN());
    found.enabled = cpu_bfloat16_requested(std::getenv(kCpuBFloat16Variable));
    return found;
  }();
  return support;
}

} // namespace magnifex
