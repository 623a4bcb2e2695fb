#include "op/GpuReport.h"

#include <cerrno>
#include <cstdlib>
#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace magnifex {

bool is_supported(int cc, long v)
{
  switch (v) {
  case 10010: return cc == 35 || cc == 50 || cc == 52 || cc == 60 || cc == 61 || cc == 70 || cc >= 75;
  case 11010:
  case 11020: return cc == 35 || cc == 50 || cc == 52 || cc == 60 || cc == 61 || cc == 70 || cc == 75 || cc >= 86;
  case 11080:
    return cc == 35 || cc == 50 || cc == 52 || cc == 60 || cc == 61 || cc == 70 || cc == 75 || cc == 86 || cc >= 89;
  case 12080:
    return cc == 50 || cc == 52 || cc == 60 || cc == 61 || cc == 70 || cc == 75 || cc == 86 || cc == 89 || cc >= 120;
  default: return true;
  }
}

std::optional<int> parse_int(const std::string& text)
{
  try {
    return std::stoi(text);
  } catch (const std::invalid_argument&) {
    return std::nullopt;
  } catch (const std::out_of_range&) {
    return std::nullopt;
  }
}

std::string capability_digits(int major, int minor)
{
  return std::to_string(major) + std::to_string(minor);
}

std::optional<std::string> native_capability_from_config(const std::string& config)
{
  static const std::string marker = "  - NVCC architecture flags: ";
  std::istringstream lines(config);
  std::string line;
  while (std::getline(lines, line, '\n')) {
    if (line.find(marker) == std::string::npos)
      continue;
    const std::size_t at = line.find_last_of("sm_");
    if (at == std::string::npos)
      return std::nullopt;
    std::string digits;
    for (std::size_t i = at + 1; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i)
      digits += line[i];
    return digits;
  }
  return std::nullopt;
}

std::string fallback_native_capability(long v)
{
  switch (v) {
  case 10010: return "75";
  case 11010:
  case 11020: return "86";
  case 11080: return "89";
  case 12080: return "120";
  default: return std::string();
  }
}

std::string gpu_memory_line(std::uint64_t total_memory, const std::string& capability, bool supported)
{
  const float gib = static_cast<float>(total_memory) / (1024.0f * 1024.0f * 1024.0f);
  std::ostringstream os;
  os << std::setprecision(2) << gib;
  if (supported)
    return os.str() + "Gb   Compute capability: sm_" + capability;
  if (capability.empty())
    return "-";
  return os.str() + "Gb&nbsp;&nbsp;&nbsp;Compute capability: <font color='red'>sm_" + capability + "</font>";
}

std::string cuda_version_line(long v, long w)
{
  // A build without a CUDA back end has no versions to report.
  if (v < 0)
    return "This version is built without CUDA";
  std::ostringstream os;
  os << "This version is built against CUDA " << v / 1000 << '.' << (v % 1000) / 10 << '.' << v % 10;
  if (w < 0)
    os << " without cuDNN";
  else if (w >= 10000) // cuDNN 9 and later count the major version in ten-thousands: 91900 is 9.19.0
    os << " and cuDNN " << w / 10000 << '.' << (w % 10000) / 100 << '.' << w % 100;
  else
    os << " and cuDNN " << w / 1000 << '.' << (w % 1000) / 100 << '.' << w % 100;
  return os.str();
}

std::string native_support_line(long v, const std::string& native)
{
  if (v < 0)
    return "with no native GPU kernels.";
  // The build configuration cannot be read where no CUDA driver is installed.
  if (native.empty())
    return "with native support for GPUs up to an unknown compute capability.";
  return "with native support for GPUs up to compute capability sm_" + native + ".";
}

std::string kernel_info_text(const std::string& native, const std::string& gpu)
{
  const std::optional<int> n = parse_int(native);
  const std::optional<int> g = parse_int(gpu);
  const std::string head = "Since your current GPU is sm_" + gpu;
  // Without a native capability there is nothing to compare against.
  if (!n || !g)
    return head + ", the build's native kernel support for it is unknown.";
  if (*n < *g)
    return head + ", you will rely on JIT-compiled kernels.";
  return head + ", you will rely on native kernels.";
}

std::string compatibility_text(long v, long w)
{
  if (v == 11080 && w == 8401)
    return "This exact combination of CUDA/cuDNN versions is matching\n"
           "what this current build of Nuke is using, which makes this plugin\n"
           "fully compatible with Foundry's AIR tools.";
  return "This exact combination of CUDA/cuDNN versions is NOT matching\n"
         "what this current build of Nuke is using, which makes this plugin\n"
         "incompatible with Foundry's AIR tools. Please be careful with\n"
         "mixing these nodes in the same Nuke scripts.";
}

std::vector<std::string> kernel_warning_lines(const std::string& native, const std::string& gpu, const char* suppress,
                                              const char* cache_max_size)
{
  std::vector<std::string> lines;
  const std::optional<int> n = parse_int(native);
  const std::optional<int> g = parse_int(gpu);
  if (!n || !g || *n >= *g)
    return lines;
  if (suppress && std::string(suppress) == "1")
    return lines;
  lines.push_back("Magnifex: This plugin build natively supports up to compute capability sm_" + native +
                  ". Since your current GPU is sm_" + gpu + ", you will rely on JIT-compiled kernels.");
  if (!cache_max_size) {
    lines.push_back("Magnifex: WARNING, the CUDA_CACHE_MAXSIZE environment variable is not set. Please check the "
                    "manual on how to set it for the JIT-compilation to be able to succeed.");
    return lines;
  }
  // strtoll: leading blanks and a sign allowed, no digits gives 0, overflow saturates.
  errno = 0;
  const long long size = std::strtoll(cache_max_size, nullptr, 10);
  if (size < 4000000000LL)
    lines.push_back("Magnifex: WARNING, the CUDA_CACHE_MAXSIZE environment variable is set too low. It should be "
                    "set to at least 4000000000. Please check the manual on how to set it for the JIT-compilation "
                    "to be able to succeed.");
  else
    lines.push_back("Magnifex: The CUDA_CACHE_MAXSIZE environment variable is set and meets the minimum "
                    "requirement.");
  return lines;
}

} // namespace magnifex
