// Checks that need a CUDA GPU: placement, 16-bit passes, the batch override and giving memory
// back. They skip on machines without one; scripts/gpu-check runs them where there is one.
#include <gtest/gtest.h>

#include <cstdlib>

#include <ATen/autocast_mode.h>
#include <ATen/ops/allclose.h>
#include <ATen/ops/full.h>
#include <c10/cuda/CUDACachingAllocator.h>
#include <torch/cuda.h>

#include "DDImageHost/KnobAccess.h"
#include "DDImageHost/OpControl.h"
#include "DDImageHost/Process.h"
#include "models/CpuFacts.h"
#include "models/MachineFacts.h"
#include "models/NetworkSet.h"
#include "op/Magnifex.h"
#include "runtime/HostNode.h"

namespace {

constexpr const char* kClass = "MagnifexOnThisMachine";

DD::Image::Iop* build(DD::Image::Node* node)
{
  return new Magnifex(node);
}
const DD::Image::Op::Description description(kClass, "Test/MagnifexOnThisMachine", build);

// This machine's GPUs reported as compute capability 7.5, which has Half but no BFloat16 units:
// the passes run on the real device, as they would on such a GPU.
struct SeenAsTuring : magnifex::MachineFacts {
  std::shared_ptr<const magnifex::MachineFacts> real = magnifex::libtorch_machine_facts();
  bool cuda_available() const override { return real->cuda_available(); }
  int device_count() const override { return real->device_count(); }
  magnifex::GpuDeviceProperties device_properties(int index) const override
  {
    magnifex::GpuDeviceProperties p = real->device_properties(index);
    p.major = 7;
    p.minor = 5;
    return p;
  }
  long cuda_runtime_version() const override { return real->cuda_runtime_version(); }
  long cudnn_version() const override { return real->cudnn_version(); }
  std::string build_configuration() const override { return real->build_configuration(); }
  magnifex::CpuBFloat16 cpu_bfloat16() const override { return real->cpu_bfloat16(); }
};
constexpr const char* kTuringClass = "MagnifexSeenAsTuring";
DD::Image::Iop* build_turing(DD::Image::Node* node)
{
  return new Magnifex(node, std::make_shared<SeenAsTuring>());
}
const DD::Image::Op::Description turing_description(kTuringClass, "Test/MagnifexSeenAsTuring", build_turing);

class Gpu : public ::testing::Test {
protected:
  void SetUp() override
  {
    if (!torch::cuda::is_available())
      GTEST_SKIP() << "no CUDA device on this machine";
    DD::Image::host::registerPluginFile(std::string(MAGNIFEX_PLUGINS_DIR) + "/tiny/Magnifex.so");
    unsetenv("BRIGHTWORK_NUKE_GPU_INDEX");
  }

  std::unique_ptr<host_runtime::HostNode> open_node(std::vector<std::pair<std::string, std::string>> knobs = {},
                                                    const char* node_class = kClass)
  {
    auto node = host_runtime::HostNode::create(node_class, "Magnifex1");
    if (!knobs.empty())
      node->setKnobs(knobs);
    DD::Image::Iop& op = node->op();
    DD::Image::host::beginRender(op);
    op.validate(true);
    op.open();
    EXPECT_FALSE(DD::Image::host::hasError(op)) << DD::Image::host::errorText(op);
    return node;
  }

  static Magnifex& op_of(const host_runtime::HostNode& node) { return dynamic_cast<Magnifex&>(node.op()); }

  static c10::Device device_of(const torch::jit::Module& m) { return (*m.parameters(true).begin()).device(); }

  static std::int64_t reserved(int device = 0)
  {
    return c10::cuda::CUDACachingAllocator::getDeviceStats(device)
      .reserved_bytes[static_cast<std::size_t>(c10::CachingAllocator::StatType::AGGREGATE)]
      .current;
  }
  static std::int64_t allocated(int device = 0)
  {
    return c10::cuda::CUDACachingAllocator::getDeviceStats(device)
      .allocated_bytes[static_cast<std::size_t>(c10::CachingAllocator::StatType::AGGREGATE)]
      .current;
  }
};

} // namespace

TEST_F(Gpu, PanelReportsThisGpu)
{
  auto node = host_runtime::HostNode::create(kClass);
  for (const auto& k : node->knobs())
    if (k.name && (*k.name == "gpuName" || *k.name == "gpuMemory" || *k.name == "kernelInfo"))
      std::cout << *k.name << ": " << k.text.value_or("") << "\n";
  Magnifex& op = op_of(*node);
  EXPECT_NE(op.gpu_status().gpu_name, "Not available");
  EXPECT_FALSE(op.gpu_status().gpu_compute_capability.empty());
  std::cout << "native capability: " << op.gpu_status().native_compute_capability << ", use_gpu "
            << op.settings().use_gpu << ", bf16_capable " << op.gpu_status().bf16_capable << "\n";
}

TEST_F(Gpu, NetworksAreLoadedBlendedAndPlacedOnTheDevice)
{
  auto still = open_node();
  Magnifex& op = op_of(*still);
  ASSERT_TRUE(op.settings().use_gpu) << "the GPU report switched GPU processing off";
  EXPECT_EQ(device_of(op.networks().still_net), c10::Device(c10::DeviceType::CUDA, 0));
  EXPECT_EQ(device_of(op.networks().still_gan_net).type(), c10::DeviceType::CUDA);

  auto sequence = open_node({{"mode", "sequence"}, {"type", "Hybrid (Alexa+CG) [RGBA]"}, {"first_frame", "1"}});
  Magnifex& seq = op_of(*sequence);
  EXPECT_EQ(device_of(seq.networks().flow_net).type(), c10::DeviceType::CUDA);
  EXPECT_EQ(device_of(seq.networks().sequence_net).type(), c10::DeviceType::CUDA);
  EXPECT_EQ(device_of(seq.networks().sequence_rgb_net).type(), c10::DeviceType::CUDA);

  // use_gpu off moves the working network to the CPU at the next open, without reloading.
  sequence.reset();
  still->setKnob("use_gpu", "false");
  DD::Image::host::beginRender(still->op());
  still->op().validate(true);
  still->op().open();
  EXPECT_EQ(device_of(op.networks().still_net).type(), c10::DeviceType::CPU);
}

TEST_F(Gpu, SixteenBitPassesReturnFloat)
{
  auto node = open_node();
  Magnifex& op = op_of(*node);
  c10::NoGradGuard no_grad;
  const at::Tensor input = at::full({1, 3, 16, 24}, 0.4f).to(c10::Device(c10::DeviceType::CUDA, 0));
  node->setKnob("mixedprecision", "false");
  const at::Tensor reference = op.run_network(op.networks().still_net, {input}, true);

  node->setKnob("mixedprecision", "true");
  for (bool bf16 : {true, false}) {
    node->setKnob("use_bfloat16", bf16 ? "true" : "false");
    const at::Tensor out = op.run_network(op.networks().still_net, {input}, true);
    EXPECT_EQ(out.scalar_type(), c10::ScalarType::Float);
    EXPECT_EQ(out.sizes(), reference.sizes());
    EXPECT_TRUE(at::allclose(out, reference, 0.05, 0.05)) << (bf16 ? "BFloat16" : "Half");
    EXPECT_FALSE(at::autocast::is_autocast_enabled(at::kCUDA));
  }
}

// Autocast must compute in the chosen type, not only receive inputs of it: a matrix product inside
// the network reports the type it ran in.
TEST_F(Gpu, SixteenBitPassesComputeInTheChosenType)
{
  auto node = open_node({{"mixedprecision", "true"}});
  auto turing = open_node({{"mixedprecision", "true"}}, kTuringClass);
  ASSERT_TRUE(op_of(*node).gpu_status().bf16_capable) << "this check needs a GPU with BFloat16 units";
  ASSERT_FALSE(op_of(*turing).gpu_status().bf16_capable);
  torch::jit::Module probe("ComputeTypeProbe");
  probe.define("def forward(self, x):\n"
               "  y = torch.mm(x[0, 0].float(), x[0, 0].float().t())\n"
               "  return torch.full([1], float(y.dtype == torch.bfloat16) + 2.0 * float(y.dtype == torch.float16))\n");
  c10::NoGradGuard no_grad;
  const at::Tensor input = at::full({1, 3, 8, 8}, 0.5f).to(c10::Device(c10::DeviceType::CUDA, 0));
  struct Case {
    bool use_bfloat16, capable;
    float expected; // 1: BFloat16, 2: Half
  };
  for (const Case& c :
       {Case{true, true, 1.0f}, Case{false, true, 2.0f}, Case{true, false, 2.0f}, Case{true, true, 1.0f}}) {
    host_runtime::HostNode& n = c.capable ? *node : *turing;
    n.setKnob("use_bfloat16", c.use_bfloat16 ? "true" : "false");
    EXPECT_EQ(op_of(n).run_network(probe, {input}, true).item<float>(), c.expected)
      << "use_bfloat16 " << c.use_bfloat16 << " capable " << c.capable;
  }
}

TEST_F(Gpu, OverrideVariablePicksTheDevice)
{
  setenv("BRIGHTWORK_NUKE_GPU_INDEX", "99", 1);
  auto node = host_runtime::HostNode::create(kClass);
  node->setKnob("debug", "true");
  testing::internal::CaptureStdout();
  const c10::Device device = op_of(*node).choose_device(false);
  const std::string out = testing::internal::GetCapturedStdout();
  unsetenv("BRIGHTWORK_NUKE_GPU_INDEX");
  EXPECT_EQ(out, "[_open] Render --gpu override: 99\n");
  EXPECT_EQ(device.index(), static_cast<int>(torch::cuda::device_count()) - 1);
}

TEST_F(Gpu, CloseAndDestructionGiveMemoryBack)
{
  auto node = open_node();
  Magnifex& op = op_of(*node);
  {
    c10::NoGradGuard no_grad;
    at::Tensor scratch = at::full({64, 1024, 1024}, 1.0f).to(c10::Device(c10::DeviceType::CUDA, 0));
    op.run_network(op.networks().still_net, {scratch.narrow(0, 0, 3).unsqueeze(0).narrow(2, 0, 32).narrow(3, 0, 32)},
                   true);
  }
  EXPECT_GT(reserved(), allocated()); // the scratch tensor's block is cached
  node->op().close();
  EXPECT_EQ(reserved(), allocated()); // only the networks' memory is still held
  const std::int64_t with_networks = allocated();
  EXPECT_GT(with_networks, 0);
  node.reset();
  // Library workspaces may stay allocated; the networks and every cached block are gone.
  EXPECT_LT(allocated(), with_networks);
  EXPECT_EQ(reserved(), allocated());
}
