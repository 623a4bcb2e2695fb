#include "models/Precision.h"

#include <torch/csrc/jit/api/module.h>

#include "models/TorchCompat.h"

namespace magnifex {

std::optional<c10::ScalarType> autocast_type(bool gpu_in_use, bool mixed_precision, bool use_bfloat16,
                                             bool gpu_bf16_capable, bool cpu_bf16_usable)
{
  if (!mixed_precision)
    return std::nullopt;
  if (!gpu_in_use)
    return (use_bfloat16 && cpu_bf16_usable) ? std::optional(c10::ScalarType::BFloat16) : std::nullopt;
  return (use_bfloat16 && gpu_bf16_capable) ? c10::ScalarType::BFloat16 : c10::ScalarType::Half;
}

std::string cpu_precision_note(bool mixed_precision, bool use_bfloat16, const CpuBFloat16& cpu, bool networks_allow)
{
  if (!mixed_precision)
    return "";
  if (!cpu.native)
    return " in float32 (this CPU has no native BFloat16)";
  if (!cpu.enabled)
    return std::string(" in float32 (") + kCpuBFloat16Variable + "=1 for BFloat16)";
  if (!use_bfloat16)
    return " in float32 (use_bfloat16 is off)";
  if (!networks_allow)
    return " in float32 (these networks lose precision in BFloat16)";
  return " in BFloat16 (" + cpu.units + ")";
}

namespace {
constexpr const char* kCpuBFloat16Attribute = "cpu_bfloat16";
}

bool allows_cpu_bfloat16(const torch::jit::Module& net)
{
  if (!net._ivalue() || !net.hasattr(kCpuBFloat16Attribute))
    return false;
  const c10::IValue flag = net.attr(kCpuBFloat16Attribute);
  return flag.isBool() && flag.toBool();
}

void set_blend_cpu_bfloat16(torch::jit::Module& working, const torch::jit::Module& gan, const torch::jit::Module& psnr)
{
  if (working._ivalue() && working.hasattr(kCpuBFloat16Attribute))
    working.setattr(kCpuBFloat16Attribute, allows_cpu_bfloat16(gan) && allows_cpu_bfloat16(psnr));
}

} // namespace magnifex
