#include "render/WriteBack.h"

#include <sstream>

#include "render/ChannelFitting.h"
#include "render/LogEncoding.h"
#include "render/PlaneTensor.h"

namespace magnifex {

at::Tensor final_output(at::Tensor accumulator, int n_out, bool decode, const RenderHooks& hooks)
{
  if (decode)
    accumulator = logDecode(accumulator);
  if (accumulator.size(1) < n_out)
    hooks.log("Too few channels, channel padding output");
  else if (accumulator.size(1) > n_out)
    hooks.log("Too many channels, narrowing channel output");
  accumulator = fit_output_channels(accumulator, n_out);
  if (hooks.logging()) {
    std::ostringstream os;
    os << "Final result tensor_image_comp sizes: " << accumulator.sizes();
    hooks.log(os.str());
  }
  return to_packed_host_layout(accumulator);
}

} // namespace magnifex
