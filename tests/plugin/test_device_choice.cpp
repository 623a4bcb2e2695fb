// The device the node opens on, with the machine faked.
#include <cstdlib>

#include "NodeFixture.h"

using namespace magnifex_test;

namespace {

class OverrideVariable {
public:
  explicit OverrideVariable(const char* value)
  {
    value ? setenv("BRIGHTWORK_NUKE_GPU_INDEX", value, 1) : unsetenv("BRIGHTWORK_NUKE_GPU_INDEX");
  }
  ~OverrideVariable() { unsetenv("BRIGHTWORK_NUKE_GPU_INDEX"); }
};

const c10::Device kCpu(c10::DeviceType::CPU);
c10::Device cuda(int i)
{
  return c10::Device(c10::DeviceType::CUDA, static_cast<c10::DeviceIndex>(i));
}

} // namespace

TEST(DeviceChoice, SavedDeviceOnATwoGpuMachine)
{
  OverrideVariable none(nullptr);
  auto node = make_node(FakeGpuFacts::with_gpus({{"A", 86, 12}, {"B", 86, 12}}));
  node->setKnob("cuda_deviceid", "1");
  EXPECT_EQ(op_of(*node).choose_device(false), cuda(1));
}

TEST(DeviceChoice, OverrideIsBoundedToTheDevices)
{
  OverrideVariable one("1");
  auto node = make_node(FakeGpuFacts::with_gpus({{"A", 86, 12}}));
  node->setKnob("debug", "true");
  testing::internal::CaptureStdout();
  const c10::Device device = op_of(*node).choose_device(false);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[_open] Render --gpu override: 1\n");
  EXPECT_EQ(device, cuda(0));
}

TEST(DeviceChoice, OverrideSwitchedOffIgnoresTheVariable)
{
  OverrideVariable zero("0");
  auto node = make_node(FakeGpuFacts::with_gpus({{"A", 86, 12}, {"B", 86, 12}}));
  node->setKnobs({{"cuda_deviceid", "1"}, {"gpu_render_override", "false"}, {"debug", "true"}});
  testing::internal::CaptureStdout();
  EXPECT_EQ(op_of(*node).choose_device(false), cuda(1));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(DeviceChoice, CpuWhenGpuIsOffOrAbsent)
{
  OverrideVariable one("1");
  auto node = make_node(FakeGpuFacts::with_gpus({{"A", 86, 12}, {"B", 86, 12}}));
  node->setKnob("use_gpu", "false");
  EXPECT_EQ(op_of(*node).choose_device(false), kCpu);

  auto no_cuda = make_node();
  Magnifex& op = op_of(*no_cuda);
  no_cuda->setKnob("use_gpu", "true"); // even when asked for
  EXPECT_EQ(op.choose_device(false), kCpu);
}

TEST(DeviceChoice, RenderVariantNamesTheNode)
{
  OverrideVariable none(nullptr);
  auto node = make_node(FakeGpuFacts::with_gpus({{"A", 86, 12}, {"B", 86, 12}}));
  node->setKnobs({{"cuda_deviceid", "5"}, {"debug", "true"}});
  testing::internal::CaptureStdout();
  EXPECT_EQ(op_of(*node).choose_device(true), cuda(1));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Magnifex1: Saved cuda_deviceid: 5\nMagnifex1: Set the use_cuda_device to: 1\n");
}
