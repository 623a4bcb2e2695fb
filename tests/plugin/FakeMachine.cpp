#include "FakeMachine.h"

#include <new>

#include "DDImage/Op.h"
#include "op/Magnifex.h"

namespace magnifex_test {
namespace {

std::shared_ptr<const magnifex::MachineFacts>& machine()
{
  static std::shared_ptr<const magnifex::MachineFacts> facts = FakeMachineFacts::without_cuda();
  return facts;
}

std::shared_ptr<const magnifex::ScriptedNetworks>& machine_scripted()
{
  static std::shared_ptr<const magnifex::ScriptedNetworks> scripted;
  return scripted;
}

DD::Image::Iop* build(DD::Image::Node* node)
{
  return new Magnifex(node, machine(), nullptr, machine_scripted());
}

const DD::Image::Op::Description description(kTestClass, "Test/MagnifexUnderTest", build);

} // namespace

std::shared_ptr<FakeMachineFacts> FakeMachineFacts::with_gpus(std::vector<std::tuple<std::string, int, int>> gpus,
                                                              long cuda_version, long cudnn, const std::string& native)
{
  auto facts = std::make_shared<FakeMachineFacts>();
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

std::shared_ptr<FakeMachineFacts> FakeMachineFacts::without_cuda()
{
  auto facts = std::make_shared<FakeMachineFacts>();
  facts->cuda_version = 13000;
  facts->cudnn = 91900;
  return facts;
}

void set_machine(std::shared_ptr<const FakeMachineFacts> facts, std::optional<magnifex::CpuBFloat16> cpu,
                 std::shared_ptr<const magnifex::ScriptedNetworks> scripted)
{
  if (cpu) {
    auto with_cpu = std::make_shared<FakeMachineFacts>(*facts);
    with_cpu->cpu = *cpu;
    facts = std::move(with_cpu);
  }
  machine() = std::move(facts);
  machine_scripted() = std::move(scripted);
}

} // namespace magnifex_test
