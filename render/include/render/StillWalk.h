// Still mode: every patch of the grid through the still network (four flipped passes with
// multisample), cross-faded together.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <ATen/core/Tensor.h>
#include <c10/core/Device.h>

#include "render/NonFiniteValues.h"
#include "render/PatchGrid.h"
#include "render/RenderHooks.h"

namespace magnifex {

// One network pass: a [1, 3, h, w] log-encoded chunk in, a float32 [1, c >= 3, S*h, S*w] out.
using NetworkPass = std::function<at::Tensor(const at::Tensor& chunk)>;

struct StillWalkSettings {
  int scale = 4; // S
  bool multisample = false;
  int debug_patch = -1; // with debug output on and n >= 0, only patches 0 .. n-1 are processed
};

// The still network's input from the host tensor of the input planes: on the device, rows top to
// bottom, three channels (alpha and any further channel dropped), log-encoded. NaN and infinite
// values take finite stand-ins; `non_finite`, when given, receives them to be put back afterwards.
at::Tensor still_network_input(const at::Tensor& host_tensor, c10::Device device,
                               NonFiniteValues* non_finite = nullptr);

// A region of the composite that no later patch touches: `region` is [1, 3, n, m], log-encoded,
// output rows first_row .. first_row + n - 1 counted from the top and columns first_column ..
// first_column + m - 1. Valid only during the call.
using FinishedRegion = std::function<void(const at::Tensor& region, int64_t first_row, int64_t first_column)>;

// Walks the patches of `tensor_image` ([1, 3, H, W], log-encoded, on the compute device) and hands
// every output pixel, once, to `finished`, in patch order; false when the host aborted. The
// cross-fade keeps only what later patches still reach (the overlaps), not a full-size accumulator:
// at 4x the output is sixteen times the input, and a 4K plate's composite alone would take 1.6 GB
// beside the plane. Progress counts network passes out of grid.inferenceRuns. Exceptions pass to
// the caller.
bool still_walk_regions(const at::Tensor& tensor_image, const PatchGrid& grid, const StillWalkSettings& settings,
                        const NetworkPass& pass, const RenderHooks& hooks, const FinishedRegion& finished);

// The same walk gathered into one log-encoded composite [1, 3, S*H, S*W], or nothing when the host
// aborted.
std::optional<at::Tensor> still_walk(const at::Tensor& tensor_image, const PatchGrid& grid,
                                     const StillWalkSettings& settings, const NetworkPass& pass,
                                     const RenderHooks& hooks);

// The node's error for an exception of the patch walk: running out of GPU memory gets its own text.
const char* patch_error_text(const std::string& what);

// The four orientations of multisample averaged, each pass's result turned back upright; nothing
// when the host aborted between passes. `done` counts passes and is reported after each.
std::optional<at::Tensor> multisample_passes(at::Tensor chunk, const NetworkPass& pass, const RenderHooks& hooks,
                                             int& done, int total);

} // namespace magnifex
