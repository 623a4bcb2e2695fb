// Sequence mode's recurrent step for one patch of one frame: optical flow to the previous frame,
// the previous result warped onto this one, and the recurrent network (twice for the material
// types with alpha).
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <ATen/core/Tensor.h>
#include <c10/core/Device.h>

#include "render/Material.h"
#include "render/NonFiniteValues.h"
#include "render/RenderHooks.h"

namespace magnifex {

// Channels the networks see: 3 for plates, 4 for the types with alpha.
int material_channels(Material material);

struct SequenceNetworks {
  // flow_net(current, previous, iterations): [1, 2, h, w] float32; always in single precision.
  std::function<at::Tensor(const at::Tensor& current, const at::Tensor& previous)> flow;
  // sequence_net(lr, warped previous result in blocks), under the precision rule, float32 out.
  std::function<at::Tensor(const at::Tensor& lr, const at::Tensor& hr_spacedepth)> main;
  // Hybrid only: sequence_rgb_net on three channels, the same way.
  std::function<at::Tensor(const at::Tensor& lr, const at::Tensor& hr_spacedepth)> colour;
};

// The working state of one patch between frames.
struct PatchState {
  at::Tensor hr_prev;  // previous result, 1 x C x sh x sw
  at::Tensor hr_prevB; // previous B-path result, 1 x 4 x sh x sw (a placeholder for plates)
  at::Tensor previous; // previous frame's low-resolution patch after the input transform
};

struct StepResult {
  at::Tensor hr_curr, hr_currB;           // this frame's results (hr_currB: types with alpha)
  at::Tensor hr_prev_warp, hr_prev_warpB; // the previous results warped onto this frame
};

// The patch of the host tensor ([1, n, h, w] raw input) as the networks take it: on the device,
// rows top to bottom, channels fitted to the material, log-encoded (alpha types: premultiplied
// LogC with alpha, see AlphaMaterial.h). The alpha types take their alpha from channel
// `alpha_index` (-1: none, opaque) and their colour from the other channels, so a depth or other
// extra channel is never mistaken for alpha. NaN and infinite values take finite stand-ins;
// `non_finite`, when given, receives them (in the result's channel layout) to be put back afterwards.
at::Tensor sequence_network_input(const at::Tensor& host_tensor, c10::Device device, Material material, int alpha_index,
                                  NonFiniteValues* non_finite = nullptr);

// The state a patch starts from when nothing came before it: black previous results, and the patch
// itself as the previous frame (no motion).
PatchState initial_patch_state(const at::Tensor& tensor_image, Material material, int s);

// One step. `advance` is called after each of four progress points (flow, flow upscale, warp,
// network passes) and returns true when the host aborted, which ends the step with nothing.
// `current_frame` adds the current frame's debug lines. Exceptions pass to the caller.
std::optional<StepResult> recurrent_step(const at::Tensor& tensor_image, const PatchState& state, Material material,
                                         int s, const SequenceNetworks& networks, const std::function<bool()>& advance,
                                         const RenderHooks& hooks, bool current_frame);

// The state after a preroll step: the results and the patch, detached.
PatchState state_after_preroll(const at::Tensor& tensor_image, const StepResult& step);

// After the current frame: updates the working state (with `debugoutput`, the warped previous result
// takes the place of the new one) and returns the decoded patch result, [1, C, sh, sw].
at::Tensor finish_current_frame(PatchState& state, const StepResult& step, Material material, bool debugoutput);

// What the node shows of an exception of the sequence steps: the text after the last line break
// that precedes its final character (the whole text when there is none).
std::string last_line_of(const std::string& text);

} // namespace magnifex
