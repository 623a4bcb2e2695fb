#include <gtest/gtest.h>

#include "models/DevicePolicy.h"
#include "models/Precision.h"

using namespace magnifex;

namespace {
DeviceRuleInputs gpus(int count, int id)
{
  DeviceRuleInputs in;
  in.cuda_available = true;
  in.device_count = count;
  in.cuda_deviceid = id;
  return in;
}
} // namespace

TEST(DeviceRule, CpuUnlessGpuWantedAndAvailable)
{
  DeviceRuleInputs in = gpus(2, 1);
  in.use_gpu = false;
  in.override_value = "1";
  in.debug = true;
  const DeviceChoice off = choose_device(in);
  EXPECT_FALSE(off.cuda);
  EXPECT_EQ(off.index, -1);
  EXPECT_TRUE(off.debug_lines.empty()); // no override lookup at all

  DeviceRuleInputs none;
  none.use_gpu = true;
  EXPECT_FALSE(choose_device(none).cuda);
}

TEST(DeviceRule, SavedIndexBoundedToTheDevices)
{
  EXPECT_EQ(choose_device(gpus(2, 1)).index, 1);
  EXPECT_EQ(choose_device(gpus(2, 5)).index, 1);  // past the last: highest device
  EXPECT_EQ(choose_device(gpus(2, -3)).index, 0); // negative: device 0
  EXPECT_EQ(choose_device(gpus(1, 0)).index, 0);
}

TEST(DeviceRule, BatchOverrideVariable)
{
  DeviceRuleInputs in = gpus(1, 0);
  in.override_value = "1";
  in.debug = true;
  const DeviceChoice c = choose_device(in);
  EXPECT_TRUE(c.cuda);
  EXPECT_EQ(c.index, 0);
  ASSERT_EQ(c.debug_lines.size(), 1u);
  EXPECT_EQ(c.debug_lines[0], "[_open] Render --gpu override: 1");

  DeviceRuleInputs four = gpus(4, 0);
  four.override_value = " 2";
  EXPECT_EQ(choose_device(four).index, 2);
  four.override_value = "gpu";
  EXPECT_EQ(choose_device(four).index, 0); // not a number reads as 0
  four.override_value = "-2";
  EXPECT_EQ(choose_device(four).index, 0);

  DeviceRuleInputs ignored = gpus(4, 3);
  ignored.gpu_render_override = false;
  ignored.override_value = "1";
  EXPECT_EQ(choose_device(ignored).index, 3);
}

TEST(DeviceRule, RenderLinesNameTheNode)
{
  DeviceRuleInputs in = gpus(2, 1);
  in.for_render = true;
  in.debug = true;
  in.node_name = "Magnifex1";
  in.override_value = "0";
  const DeviceChoice c = choose_device(in);
  EXPECT_EQ(c.debug_lines,
            (std::vector<std::string>{"Magnifex1: Saved cuda_deviceid: 1", "[renderStripe] Render --gpu override: 0",
                                      "Magnifex1: Set the use_cuda_device to: 0"}));
  in.debug = false;
  EXPECT_TRUE(choose_device(in).debug_lines.empty());
}

TEST(PrecisionRule, SixteenBitTypeByDeviceAndSupport)
{
  struct Case {
    bool gpu, mixed, use_bf16, gpu_bf16, cpu_bf16;
    std::optional<c10::ScalarType> expected;
  };
  const auto bf16 = c10::ScalarType::BFloat16, half = c10::ScalarType::Half;
  const Case cases[] = {
    {true, true, true, true, false, bf16},
    {true, true, true, false, true, half}, // a GPU without BFloat16: Half, whatever the CPU has
    {true, true, false, true, true, half},
    {true, false, true, true, true, std::nullopt},
    {false, true, true, false, true, bf16},         // the CPU's own units, whatever the GPU has
    {false, true, true, true, false, std::nullopt}, // no fast 16-bit type on this CPU
    {false, true, false, true, true, std::nullopt}, // no Half on a CPU
    {false, false, true, true, true, std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(autocast_type(c.gpu, c.mixed, c.use_bf16, c.gpu_bf16, c.cpu_bf16), c.expected)
      << "gpu " << c.gpu << " mixed " << c.mixed << " use_bf16 " << c.use_bf16 << " gpu_bf16 " << c.gpu_bf16
      << " cpu_bf16 " << c.cpu_bf16;
}

TEST(PrecisionRule, CpuSupportFromItsInstructionSets)
{
  CpuBFloat16 server = cpu_bfloat16_from(
    {{"avx2", true}, {"avx512_bf16", true}, {"amx_bf16", true}, {"avx512_fp16", true}, {"avx_ne_convert", true}}, true);
  EXPECT_TRUE(server.native);
  EXPECT_EQ(server.units, "AMX-BF16, AVX512-BF16");
  EXPECT_FALSE(cpu_bfloat16_from({{"avx2", true}, {"avx512_bf16", false}}, true).native);
  EXPECT_FALSE(cpu_bfloat16_from({{"amx_bf16", true}}, false).native) << "no oneDNN kernels to use it";
  EXPECT_TRUE(cpu_bfloat16_from({{"sve_bf16", true}}, true).native);

  EXPECT_FALSE(server.enabled) << "support alone does not opt a process in";

  for (const char* yes : {"1", "true", "ON", "Yes"})
    EXPECT_TRUE(cpu_bfloat16_requested(yes)) << yes;
  for (const char* no : {"", "0", "false", "off", "2", " 1"})
    EXPECT_FALSE(cpu_bfloat16_requested(no)) << "'" << no << "'";
  EXPECT_FALSE(cpu_bfloat16_requested(nullptr));

  EXPECT_EQ(cpu_precision_note(true, true, server, true), " in float32 (MAGNIFEX_CPU_BFLOAT16=1 for BFloat16)");
  server.enabled = true;
  EXPECT_EQ(cpu_precision_note(false, true, server, true), "");
  EXPECT_EQ(cpu_precision_note(true, true, server, true), " in BFloat16 (AMX-BF16, AVX512-BF16)");
  EXPECT_EQ(cpu_precision_note(true, false, server, true), " in float32 (use_bfloat16 is off)");
  EXPECT_EQ(cpu_precision_note(true, true, server, false), " in float32 (these networks lose precision in BFloat16)");
  EXPECT_EQ(cpu_precision_note(true, true, CpuBFloat16{false, "", true}, true),
            " in float32 (this CPU has no native BFloat16)");
}
