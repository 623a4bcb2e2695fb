// Construction, destruction and closing of the node.
#include <cstdlib>

#include "NodeFixture.h"

using namespace magnifex_test;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// Sets or clears an environment variable for one test.
class ScopedEnv {
public:
  ScopedEnv(const char* name, const char* value) : name_(name)
  {
    if (const char* old = std::getenv(name))
      old_ = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string construction_output(const char* suppress, const char* cache)
{
  ScopedEnv a("BRIGHTWORK_SUPPRESS_KERNEL_WARNINGS", suppress);
  ScopedEnv b("CUDA_CACHE_MAXSIZE", cache);
  CaptureStdout();
  {
    auto node = make_node(FakeMachineFacts::with_gpus({{"New GPU", 120, 32}}, 11080, 8401, "90"));
  }
  return GetCapturedStdout();
}

} // namespace

TEST(Lifecycle, DestructionLinesOnlyWithDebug)
{
  CaptureStdout();
  {
    auto node = make_node();
  }
  EXPECT_EQ(GetCapturedStdout(), "");

  auto node = make_node();
  node->setKnob("debug", "true");
  CaptureStdout();
  node.reset();
  EXPECT_EQ(GetCapturedStdout(), "Running destructor\nReleased GPU memory\n");
}

TEST(Lifecycle, CloseKeepsNetworksAndState)
{
  use_plugin_dir("tiny");
  auto node = make_node();
  node->setKnobs({{"mode", "sequence"}, {"first_frame", "1"}, {"last_frame", "20"}, {"scale", "2x"}});
  host_runtime::RenderSession session(*node, plate(16, 8, 1, 3));
  ASSERT_EQ(session.renderFrame(1).status, host_runtime::FrameStatus::Ok);
  Magnifex& op = op_of(*node);
  ASSERT_TRUE(op.networks().blend_ready && op.sequence_memory().saved(0));
  op._close();
  EXPECT_TRUE(op.networks().blend_ready);
  EXPECT_EQ(op.frame_state().render_count, 1);
  EXPECT_TRUE(op.sequence_memory().saved(0));
}

TEST(Lifecycle, WithoutCudaNothingIsProbed)
{
  CaptureStdout();
  auto node = make_node();
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(op_of(*node).gpu_status().gpu_compute_capability, "");
  EXPECT_FALSE(op_of(*node).gpu_status().bf16_capable);
}

TEST(Lifecycle, KernelWarningsAtConstruction)
{
  const std::string jit = "Magnifex: This plugin build natively supports up to compute capability sm_90. Since your "
                          "current GPU is sm_120, you will rely on JIT-compiled kernels.\n";
  EXPECT_EQ(construction_output(nullptr, nullptr),
            jit + "Magnifex: WARNING, the CUDA_CACHE_MAXSIZE environment variable is not set. Please check the "
                  "manual on how to set it for the JIT-compilation to be able to succeed.\n");
  EXPECT_EQ(construction_output("true", "4000000000"),
            jit + "Magnifex: The CUDA_CACHE_MAXSIZE environment variable is set and meets the minimum requirement.\n");
  EXPECT_NE(construction_output(nullptr, "3999999999").find("set too low"), std::string::npos);
  EXPECT_EQ(construction_output("1", nullptr), "");
}

TEST(Lifecycle, NoWarningsForNativelySupportedGpus)
{
  ScopedEnv cache("CUDA_CACHE_MAXSIZE", nullptr);
  CaptureStdout();
  auto node = make_node(FakeMachineFacts::with_gpus({{"GPU", 86, 12}}, 11080, 8401, "89"));
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_TRUE(op_of(*node).gpu_status().bf16_capable);
}
