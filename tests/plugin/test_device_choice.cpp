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

// The node hands the rule its knobs, the machine's devices, the batch variable and its name, and
// writes the rule's lines; the rule's own cases are tested on the rule.
TEST(DeviceChoice, TheNodeWiresKnobsMachineAndVariableIntoTheRule)
{
  struct Case {
    const char* what;
    int gpus; // 0: no CUDA
    std::vector<std::pair<std::string, std::string>> knobs;
    const char* variable;
    bool for_render;
    c10::Device device;
    std::string log;
  };
  const Case cases[] = {
    {"saved device", 2, {{"cuda_deviceid", "1"}}, nullptr, false, cuda(1), ""},
    {"override bounded", 1, {{"debug", "true"}}, "1", false, cuda(0), "[_open] Render --gpu override: 1\n"},
    {"override switched off",
     2,
     {{"cuda_deviceid", "1"}, {"gpu_render_override", "false"}, {"debug", "true"}},
     "0",
     false,
     cuda(1),
     ""},
    {"GPU processing off", 2, {{"use_gpu", "false"}}, "1", false, kCpu, ""},
    {"no CUDA, even when asked for", 0, {{"use_gpu", "true"}}, nullptr, false, kCpu, ""},
    {"render lines name the node",
     2,
     {{"cuda_deviceid", "5"}, {"debug", "true"}},
     nullptr,
     true,
     cuda(1),
     "Magnifex1: Saved cuda_deviceid: 5\nMagnifex1: Set the use_cuda_device to: 1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OverrideVariable variable(c.variable);
    std::vector<std::tuple<std::string, int, int>> gpus;
    for (int i = 0; i < c.gpus; ++i)
      gpus.emplace_back("GPU", 86, 12);
    auto node = make_node(c.gpus ? FakeMachineFacts::with_gpus(gpus) : FakeMachineFacts::without_cuda());
    node->setKnobs(c.knobs);
    testing::internal::CaptureStdout();
    EXPECT_EQ(op_of(*node).choose_device(c.for_render), c.device);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.log);
  }
}
