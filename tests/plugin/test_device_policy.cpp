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
  EXPECT_EQ(c.debug_lines, (std::vector<std::string>{"Magnifex1: Saved cuda_deviceid: 1",
                                                     "[renderStripe] Render --gpu override: 0",
                                                     "Magnifex1: Set the use_cuda_device to: 0"}));
  in.debug = false;
  EXPECT_TRUE(choose_device(in).debug_lines.empty());
}

TEST(PrecisionRule, CastTypeOnlyOnTheGpuWithMixedPrecision)
{
  EXPECT_EQ(autocast_type(true, true, true, true), c10::ScalarType::BFloat16);
  EXPECT_EQ(autocast_type(true, true, true, false), c10::ScalarType::Half); // no bf16 on this GPU
  EXPECT_EQ(autocast_type(true, true, false, true), c10::ScalarType::Half);
  EXPECT_EQ(autocast_type(true, false, true, true), std::nullopt);
  EXPECT_EQ(autocast_type(false, true, true, true), std::nullopt); // CPU never casts
}
