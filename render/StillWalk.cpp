#include "render/StillWalk.h"

#include <sstream>

#include <ATen/ops/cat.h>
#include <ATen/ops/zeros.h>

#include "render/ChannelFitting.h"
#include "render/LogEncoding.h"
#include "render/PatchBlend.h"
#include "render/PlaneTensor.h"

namespace magnifex {

namespace {

std::string sizes_line(const char* what, const at::Tensor& t)
{
  std::ostringstream os;
  os << what << t.sizes();
  return os.str();
}

} // namespace

const char* patch_error_text(const std::string& what)
{
  const bool out_of_memory = what.find("CUDA out of memory") != std::string::npos ||
                             what.find("Unable to find a valid cuDNN algorithm") != std::string::npos;
  return out_of_memory ? "Error during image patch processing (out of GPU memory)"
                       : "Error during image patch processing";
}

at::Tensor still_network_input(const at::Tensor& host_tensor, c10::Device device)
{
  return logEncode(fit_network_channels(to_pipeline(host_tensor, device), 3));
}

std::optional<at::Tensor> multisample_passes(at::Tensor chunk, const NetworkPass& pass, const RenderHooks& hooks,
                                             int& done, int total)
{
  // The chunk is flipped before each pass and the flips accumulate: upright, upside down, both,
  // mirrored. Each result is turned back before the average.
  const at::Tensor upright = pass(chunk);
  if (hooks.stop())
    return std::nullopt;
  hooks.report(++done, total);
  hooks.log("Processing multisamples");

  chunk = chunk.flip({2});
  const at::Tensor upside_down = pass(chunk).flip({2});
  if (hooks.stop())
    return std::nullopt;
  hooks.report(++done, total);

  chunk = chunk.flip({3});
  const at::Tensor both = pass(chunk).flip({3}).flip({2});
  if (hooks.stop())
    return std::nullopt;
  hooks.report(++done, total);

  chunk = chunk.flip({2});
  const at::Tensor mirrored = pass(chunk).flip({3});
  at::Tensor average = at::cat({upright, mirrored, upside_down, both}, 0).mean(0).unsqueeze(0);
  hooks.report(++done, total);
  if (hooks.stop())
    return std::nullopt;
  return average;
}

std::optional<at::Tensor> still_walk(const at::Tensor& tensor_image, const PatchGrid& grid,
                                     const StillWalkSettings& settings, const NetworkPass& pass,
                                     const RenderHooks& hooks)
{
  const int S = settings.scale;
  const int64_t H = tensor_image.size(2), W = tensor_image.size(3);
  at::Tensor accumulator = at::zeros({1, 3, S * H, S * W}, tensor_image.options().dtype(at::kFloat));

  int done = 0;
  hooks.report(done, grid.inferenceRuns);
  for (const PatchRect& p : patch_walk(grid, int(W), int(H))) {
    if (hooks.logging()) {
      hooks.log(" ");
      hooks.log("Processing image patch: " + std::to_string(p.index) + ", with pixel coordinates:");
      hooks.log("    " + std::to_string(p.xStart) + ", " + std::to_string(p.yStart) + " - " + std::to_string(p.xEnd) +
                ", " + std::to_string(p.yEnd));
      if (settings.debug_patch >= 0 && p.index >= settings.debug_patch)
        continue;
    }
    hooks.report(done, grid.inferenceRuns);
    hooks.log(sizes_line("tensor_image sizes: ", tensor_image));
    const at::Tensor chunk = tensor_image.narrow(3, p.xStart, p.width()).narrow(2, p.yStart, p.height());
    hooks.log(sizes_line("tensor_image_chunk sizes: ", chunk));

    at::Tensor out_tensor;
    if (settings.multisample) {
      std::optional<at::Tensor> averaged = multisample_passes(chunk, pass, hooks, done, grid.inferenceRuns);
      if (!averaged)
        return std::nullopt;
      out_tensor = *averaged;
    } else {
      out_tensor = pass(chunk);
      if (hooks.stop())
        return std::nullopt;
      hooks.report(++done, grid.inferenceRuns);
      if (hooks.stop())
        return std::nullopt;
    }

    hooks.log(sizes_line("out_tensor sizes: ", out_tensor));
    const at::Tensor mask =
        blend_mask(grid, p, int(out_tensor.size(2)), int(out_tensor.size(3)), S, tensor_image.device());
    hooks.log(sizes_line("tensor_image_mask sizes: ", mask));
    composite_patch(accumulator, out_tensor, mask, p, S);
  }
  return accumulator;
}

} // namespace magnifex
