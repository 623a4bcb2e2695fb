#include "render/sequence/RecurrentStep.h"

#include <chrono>
#include <sstream>
#include <vector>

#include <ATen/TensorOperators.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/ones_like.h>
#include <ATen/ops/zeros.h>
#include <ATen/ops/zeros_like.h>

#include "render/ChannelFitting.h"
#include "render/LogEncoding.h"
#include "render/PlaneTensor.h"
#include "render/sequence/AlphaMaterial.h"
#include "render/sequence/FlowPadding.h"
#include "render/sequence/FlowWarp.h"

namespace magnifex {

namespace {

void log_sizes(const RenderHooks& hooks, const char* what, const at::Tensor& t)
{
  if (!hooks.logging())
    return;
  std::ostringstream os;
  os << what << t.sizes();
  hooks.log(os.str());
}

// A network pass, timed for the debug stream.
template <class Pass>
at::Tensor timed(const RenderHooks& hooks, Pass&& pass)
{
  const auto start = std::chrono::steady_clock::now();
  at::Tensor result = pass();
  if (hooks.logging()) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    hooks.log("    Inference time: " + std::to_string(ms.count()) + "ms");
  }
  return result;
}

// What of the B state the B path warps: all four channels for CG, the colour for the hybrid.
at::Tensor colour_state(const PatchState& state, Material material)
{
  return material == Material::CG ? state.hr_prevB : state.hr_prevB.narrow(1, 0, 3);
}

// The B path: the colour-only recurrence of the types with alpha, sharing the main path's flow; its
// previous state is already warped into result.hr_prev_warpB.
void colour_path(const at::Tensor& tensor_image, const at::Tensor& hr_flow, const PatchState& state, Material material,
                 int s, const SequenceNetworks& networks, const RenderHooks& hooks, bool current_frame,
                 StepResult& result)
{
  const at::Tensor variant = colour_variant(tensor_image);
  if (current_frame) {
    log_sizes(hooks, "tensor_image_A: ", tensor_image);
    log_sizes(hooks, "tensor_image_variant: ", variant);
  }
  if (material == Material::CG) {
    const at::Tensor tensor_image_A1 = at::cat({variant, at::ones_like(variant.narrow(1, 0, 1))}, 1);
    const at::Tensor hr_spacedepthB = space_to_depth(result.hr_prev_warpB, s);
    if (current_frame) {
      log_sizes(hooks, "tensor_image_A1: ", tensor_image_A1);
      log_sizes(hooks, "tensor_image_variant: ", variant);
      log_sizes(hooks, "hr_prevB: ", state.hr_prevB);
      log_sizes(hooks, "hr_flow: ", hr_flow);
      log_sizes(hooks, "hr_prev_warpB: ", result.hr_prev_warpB);
      log_sizes(hooks, "hr_spacedepthB: ", hr_spacedepthB);
    }
    result.hr_currB = timed(hooks, [&] { return networks.main(tensor_image_A1, hr_spacedepthB); });
  } else {
    const at::Tensor hr_prevB_rgb = colour_state(state, material);
    const at::Tensor hr_spacedepthB = space_to_depth(result.hr_prev_warpB, s);
    if (current_frame) {
      log_sizes(hooks, "hr_prevB_rgb: ", hr_prevB_rgb);
      log_sizes(hooks, "hr_prev_warpB: ", result.hr_prev_warpB);
      log_sizes(hooks, "hr_spacedepthB: ", hr_spacedepthB);
    }
    const at::Tensor out = timed(hooks, [&] { return networks.colour(variant, hr_spacedepthB); });
    // The B state keeps a fourth channel of ones, which the next B pass drops again.
    const at::Tensor ones = at::ones_like(out.narrow(1, 0, 1));
    result.hr_currB = at::cat({out, ones}, 1);
    if (!current_frame && hooks.logging()) {
      hooks.log("Sized of tensors for hybrid processing");
      log_sizes(hooks, "hr_prevB sizes: ", state.hr_prevB);
      log_sizes(hooks, "hr_prevB_rgb sizes: ", hr_prevB_rgb);
      log_sizes(hooks, "hr_currB sizes: ", out);
      log_sizes(hooks, "tensor_image_A1 sizes: ", ones);
      log_sizes(hooks, "hr_currB sizes (concat): ", result.hr_currB);
    }
  }
}

} // namespace

std::string last_line_of(const std::string& text)
{
  if (text.size() < 2)
    return text;
  const std::size_t cut = text.find_last_of('\n', text.size() - 2);
  return cut == std::string::npos ? text : text.substr(cut + 1);
}

int material_channels(Material material)
{
  return material == Material::Plates ? 3 : 4;
}

namespace {

// The patch in the material's channel layout, linear: colour fitted to three, then alpha for the
// alpha types.
at::Tensor material_layout(const at::Tensor& image, Material material, int alpha_index)
{
  if (material == Material::Plates)
    return fit_network_channels(image, 3);
  const int64_t n = image.size(1);
  if (alpha_index < 0 || alpha_index >= n)
    return fit_network_channels(fit_network_channels(image, 3), 4);
  std::vector<at::Tensor> others;
  for (int64_t c = 0; c < n; ++c)
    if (c != alpha_index)
      others.push_back(image.narrow(1, c, 1));
  // An alpha-only request is its own colour, as a single channel always is.
  const at::Tensor colour = others.empty() ? image : at::cat(others, 1);
  return at::cat({fit_network_channels(colour, 3), image.narrow(1, alpha_index, 1)}, 1);
}

} // namespace

at::Tensor sequence_network_input(const at::Tensor& host_tensor, c10::Device device, Material material, int alpha_index,
                                  NonFiniteValues* non_finite)
{
  const at::Tensor linear = material_layout(to_pipeline(host_tensor, device), material, alpha_index);
  if (non_finite)
    *non_finite = NonFiniteValues(linear);
  const at::Tensor finite = with_finite_stand_ins(linear);
  return material == Material::Plates ? logEncode(finite) : prepare_alpha_input(finite);
}

PatchState initial_patch_state(const at::Tensor& tensor_image, Material material, int s)
{
  const int64_t C = tensor_image.size(1), h = tensor_image.size(2), w = tensor_image.size(3);
  const at::TensorOptions options = tensor_image.options().dtype(at::kFloat);
  PatchState state;
  state.hr_prev = at::zeros({1, C, s * h, s * w}, options);
  state.hr_prevB =
    material == Material::Plates ? at::zeros_like(tensor_image) : at::zeros({1, 4, s * h, s * w}, options);
  state.previous = tensor_image;
  return state;
}

std::optional<StepResult> recurrent_step(const at::Tensor& tensor_image, const PatchState& state, Material material,
                                         int s, const SequenceNetworks& networks, const std::function<bool()>& advance,
                                         const RenderHooks& hooks, bool current_frame)
{
  const int h = int(tensor_image.size(2)), w = int(tensor_image.size(3));
  const FlowPadding padding = flow_padding(h, w);
  const at::Tensor lr_flow = crop_flow(
    timed(hooks,
          [&] { return networks.flow(pad_for_flow(tensor_image, padding), pad_for_flow(state.previous, padding)); }),
    padding, h, w);
  log_sizes(hooks, "lr_flow sizes: ", lr_flow);
  if (advance())
    return std::nullopt;

  const at::Tensor hr_flow = upscale_flow(lr_flow, s);
  if (current_frame) {
    log_sizes(hooks, "tensor_image sizes: ", tensor_image);
    log_sizes(hooks, "calculated hr_flow: ", hr_flow);
    log_sizes(hooks, "hr_prev sizes: ", state.hr_prev);
  }
  if (advance())
    return std::nullopt;

  StepResult result;
  if (material == Material::Plates) {
    result.hr_prev_warp = warp_by_flow(state.hr_prev, hr_flow);
  } else {
    // Both states follow the same flow: one grid for the two. (Sampling the two stacked measured
    // slower here: the stacking copy and the space-to-depth of strided halves cost more than a
    // second sampler call.)
    const at::Tensor grid = sampling_grid(hr_flow);
    result.hr_prev_warp = warp_by_grid(state.hr_prev, grid);
    result.hr_prev_warpB = warp_by_grid(colour_state(state, material), grid);
  }
  const at::Tensor hr_spacedepth = space_to_depth(result.hr_prev_warp, s);
  if (current_frame) {
    log_sizes(hooks, "calculated hr_prev_warp: ", result.hr_prev_warp);
    log_sizes(hooks, "hr_spacedepth: ", hr_spacedepth);
    log_sizes(hooks, "tensor_image: ", tensor_image);
  }
  if (advance())
    return std::nullopt;

  result.hr_curr = timed(hooks, [&] { return networks.main(tensor_image, hr_spacedepth); });
  if (material != Material::Plates)
    colour_path(tensor_image, hr_flow, state, material, s, networks, hooks, current_frame, result);
  if (advance())
    return std::nullopt;
  return result;
}

PatchState state_after_preroll(const at::Tensor& tensor_image, const StepResult& step)
{
  PatchState state;
  state.hr_prev = step.hr_curr.detach();
  state.hr_prevB = step.hr_currB.defined() ? step.hr_currB : at::zeros_like(tensor_image);
  state.previous = tensor_image.detach();
  return state;
}

at::Tensor finish_current_frame(PatchState& state, const StepResult& step, Material material, bool debugoutput)
{
  if (material == Material::Plates) {
    state.hr_prev = (debugoutput ? step.hr_prev_warp : step.hr_curr).detach();
    return logDecode(state.hr_prev);
  }
  if (debugoutput) {
    // The warped previous colour over the previous frame's own alpha.
    state.hr_prevB = step.hr_prev_warpB.detach();
  } else {
    state.hr_prev = step.hr_curr.detach();
    state.hr_prevB = step.hr_currB;
  }
  return recombine_alpha(state.hr_prev, state.hr_prevB);
}

} // namespace magnifex
