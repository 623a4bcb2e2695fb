#include "FakeGpu.h"

#include <new>

#include "DDImage/Op.h"
#include "op/Magnifex.h"

namespace magnifex_test {
namespace {

std::shared_ptr<const magnifex::GpuFacts>& machine()
{
  static std::shared_ptr<const magnifex::GpuFacts> facts = FakeGpuFacts::without_cuda();
  return facts;
}

magnifex::CpuBFloat16& machine_cpu()
{
  static magnifex::CpuBFloat16 cpu = magnifex::this_cpu_bfloat16();
  return cpu;
}

std::shared_ptr<const magnifex::ScriptedNetworks>& machine_scripted()
{
  static std::shared_ptr<const magnifex::ScriptedNetworks> scripted;
  return scripted;
}

DD::Image::Iop* build(DD::Image::Node* node)
{
  return new Magnifex(node, machine(), machine_cpu(), nullptr, machine_scripted());
}

const DD::Image::Op::Description description(kTestClass, "Test/MagnifexUnderTest", build);

} // namespace

std::shared_ptr<FakeGpuFacts> FakeGpuFacts::with_gpus(std::vector<std::tuple<std::string, int, int>> gpus,
                                                      long cuda_version, long cudnn, const std::string& native)
{
  auto facts = std::make_shared<FakeGpuFacts>();
  facts->cuda = true;
  for (const auto& [name, capability, gib] : gpus) {
    magnifex::GpuDeviceProperties p;
    p.name = name;
    p.major = capability / 10;
    p.minor = capability % 10;
    p.total_memory = static_cast<std::uint64_t>(gib) * 1024ull * 1024ull * 1024ull;
    facts->devices.push_back(p);
  }
  facts->cuda_version = cuda_version;
  facts->cudnn = cudnn;
  if (!native.empty())
    facts->config =
      "PyTorch built with:\n  - NVCC architecture flags: -gencode;arch=compute_" + native + ",code=sm_" + native + "\n";
  return facts;
}

std::shared_ptr<FakeGpuFacts> FakeGpuFacts::without_cuda()
{
  auto facts = std::make_shared<FakeGpuFacts>();
  facts->cuda_version = 13000;
  facts->cudnn = 91900;
  return facts;
}

void set_machine(std::shared_ptr<const magnifex::GpuFacts> facts, std::optional<magnifex::CpuBFloat16> cpu,
                 std::shared_ptr<const magnifex::ScriptedNetworks> scripted)
{
  machine() = std::move(facts);
  machine_cpu() = cpu ? *cpu : magnifex::this_cpu_bfloat16();
  machine_scripted() = std::move(scripted);
}

} // namespace magnifex_test
