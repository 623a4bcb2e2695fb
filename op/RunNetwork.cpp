// The node's one network pass: the precision rule applied around a TorchScript forward.
#include "op/RunNetwork.h"

#include "models/Precision.h"
#include "models/TorchCompat.h"

namespace magnifex {

at::Tensor run_network(const PassPrecision& p, const torch::jit::Module& network, std::vector<c10::IValue> inputs,
                       bool gpu_in_use)
{
  torch::jit::Module net = network; // a handle: forward is not const
  const std::optional<c10::ScalarType> precision = autocast_type(
    gpu_in_use, p.mixedprecision, p.use_bfloat16, p.gpu_bf16_capable, p.cpu_bfloat16 && allows_cpu_bfloat16(net));
  if (gpu_in_use) {
    // Inputs and autocast's own casts inside the network use the same 16-bit type.
    set_cuda_autocast(p.mixedprecision, precision);
    if (precision)
      for (c10::IValue& input : inputs)
        if (input.isTensor())
          input = autocast_to(*precision, input.toTensor());
  } else {
    // Channels-last convolutions on the CPU: the still networks run 15 to 20 % faster, the sequence
    // networks nearly twice as fast, with the same results (magnifex_bench passes).
    for (c10::IValue& input : inputs)
      if (input.isTensor() && input.toTensor().dim() == 4)
        input = input.toTensor().contiguous(at::MemoryFormat::ChannelsLast);
    // The inputs stay float32: autocast casts what the convolutions read, while the parameter-free
    // steps around them (the encoding adapters of trained archives) keep full precision.
    if (precision)
      set_cpu_autocast(true);
  }
  const auto autocast_off = [&] {
    if (gpu_in_use)
      set_cuda_autocast(false);
    else if (precision)
      set_cpu_autocast(false);
  };
  at::Tensor result;
  try {
    result = net.forward(std::move(inputs)).toTensor();
  } catch (...) {
    // Autocast must not stay on for the thread's next pass.
    autocast_off();
    throw;
  }
  autocast_off();
  if (p.mixedprecision)
    result = result.to(c10::ScalarType::Float, false, false, std::nullopt);
  return result;
}

} // namespace magnifex
