// Construction, destruction, closing and the GPU probe of the node.
#include "op/Magnifex.h"

#include <cstdlib>

#include "models/CpuFacts.h"
#include "models/DevicePolicy.h"
#include "models/NetworkSet.h"
#include "models/TorchCompat.h"
#include "op/DebugStream.h"
#include "op/GpuReport.h"
#include "op/RenderSequence.h"
#include "op/ScriptedNetworks.h"

using namespace DD::Image;
using namespace magnifex;

Magnifex::Magnifex(Node* node) : Magnifex(node, libtorch_machine_facts()) {}

Magnifex::Magnifex(Node* node, std::shared_ptr<const MachineFacts> machine,
                   std::shared_ptr<const ArchiveSource> archives, std::shared_ptr<const ScriptedNetworks> scripted)
    : PlanarIop(node), cpu_bfloat16_(machine->cpu_bfloat16()),
      networks_(
        std::make_unique<NetworkSet>(archives ? std::move(archives) : std::make_shared<const CompanionArchives>())),
      scripted_(std::move(scripted)), sequence_(std::make_unique<SequenceRender>()), machine_(std::move(machine))
{
  if (machine_->cuda_available()) {
    probe_gpu(false);
    write_kernel_warnings();
  }
}

Magnifex::~Magnifex()
{
  if (settings_.debug)
    debug_line("Running destructor");

  // A failing move (a lost device) must not take the host down from a destructor.
  networks_->release_to_cpu();

  // Drop the sequence state's last references to device memory, so the cache can be freed.
  sequence_->release();

  empty_cuda_cache();

  if (settings_.debug)
    debug_line("Released GPU memory");
}

const SequenceMemory& Magnifex::sequence_memory() const
{
  return sequence_->memory();
}

void Magnifex::reset_sequence_state()
{
  sequence_->reset();
}

void Magnifex::_close()
{
  PlanarIop::_close();
  empty_cuda_cache();
}

void Magnifex::probe_gpu(bool set_name)
{
  const int count = machine_->device_count();
  if (count < 1)
    return;
  const int index = bounded_device_index(settings_.cuda_deviceid, count);
  if (settings_.debug && index != settings_.cuda_deviceid)
    debug_line("Invalid CUDA device ID, falling back to cuda:" + std::to_string(index));

  const GpuDeviceProperties props = machine_->device_properties(index);
  gpu_status_.bf16_capable = props.major > 7;
  gpu_status_.gpu_compute_capability = capability_digits(props.major, props.minor);
  if (set_name)
    gpu_status_.gpu_name = props.name;
  if (std::optional<std::string> native = native_capability_from_config(machine_->build_configuration()))
    gpu_status_.native_compute_capability = *native;
}

void Magnifex::write_kernel_warnings() const
{
  for (const std::string& line :
       kernel_warning_lines(gpu_status_.native_compute_capability, gpu_status_.gpu_compute_capability,
                            std::getenv("BRIGHTWORK_SUPPRESS_KERNEL_WARNINGS"), std::getenv("CUDA_CACHE_MAXSIZE")))
    debug_line(line);
}

bool Magnifex::report_gpu_supported()
{
  const std::optional<int> capability = parse_int(gpu_status_.gpu_compute_capability);
  const bool supported = capability && is_supported(*capability, machine_->cuda_runtime_version());
  if (!supported)
    settings_.use_gpu = false;
  return supported;
}

std::string Magnifex::gpu_memory_text(bool supported) const
{
  const int count = machine_->device_count();
  const std::uint64_t memory =
    count > 0 ? machine_->device_properties(bounded_device_index(settings_.cuda_deviceid, count)).total_memory : 0;
  return gpu_memory_line(memory, gpu_status_.gpu_compute_capability, supported);
}
