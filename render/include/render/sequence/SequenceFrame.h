// Sequence mode's whole frame: for every patch, load the saved state or run the preroll, then the
// current frame's recurrent step, the memory updated and the patch cross-faded into the composite.
// The host is behind a patch reader and the hooks, the networks behind callables, so the state
// machine runs on plain values, as the still walk does.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <ATen/core/Tensor.h>
#include <c10/core/Device.h>

#include "render/Material.h"
#include "render/PatchGrid.h"
#include "render/RenderHooks.h"
#include "render/sequence/RecurrentStep.h"
#include "render/sequence/SequenceMemory.h"

namespace magnifex {

// An input context's box in the host's coordinates (x, y the lower left; r, t exclusive).
struct ContextBox {
  int x = 0, y = 0, r = 0, t = 0;
  bool operator==(const ContextBox& o) const { return x == o.x && y == o.y && r == o.r && t == o.t; }
  bool operator!=(const ContextBox& o) const { return !(*this == o); }
};

// Where the frames' pixels come from: the node's input contexts, or a test's pictures.
class SequencePatchReader {
public:
  virtual ~SequencePatchReader() = default;
  // Input context k's box once the host has validated it; nothing when the context is missing
  // (the read then reports it).
  virtual std::optional<ContextBox> context_box(int context) = 0;
  // One patch of input context k as a host tensor [1, n, h, w], rows bottom to top as the host
  // keeps them; nothing after an error the reader has reported itself. `current_frame` tells the
  // current frame's read from a preroll read.
  virtual std::optional<at::Tensor> read(int context, const PatchRect& patch, bool current_frame) = 0;
};

struct SequenceFrameSettings {
  int frame = 0;                // F, the frame rendered
  std::size_t render_index = 0; // which saved run this render continues
  Material material = Material::Plates;
  int scale = 4;            // S
  bool debugoutput = false; // the warped previous result in place of the new one
  int alpha_index = -1;     // the alpha channel among the channels read, -1 when absent
  ContextBox input_box;     // input 0's box; every preroll context must match it
  std::vector<int> preroll_frames;
  std::map<int, int> frame_to_input;
  c10::Device device = c10::Device(c10::DeviceType::CPU);
};

// Why a frame has no result. The node shows `message`; `log` goes to the debug stream whether
// debug output is on or not, since it carries the exception's own text.
struct SequenceFrameFailure {
  std::string message;
  std::vector<std::string> log;
};

struct SequenceFrameResult {
  // [1, C, S*H, S*W], C the material's channels, log-decoded; undefined when there is none.
  at::Tensor composite;
  // The current frame's NaN and infinite input values, which the networks and the carried state
  // never saw, in the composite's channel layout: for the write-back to put back.
  NonFiniteValues non_finite;
  // Set when the frame failed; neither is set after an abort or a failure the reader reported.
  std::optional<SequenceFrameFailure> failure;
};

// The frame of `settings` over the patches of `grid` for a W x H input. Progress counts five steps
// per frame of each patch (the read and the step's four), for the preroll frames only when no
// state was saved. The memory keeps each patch's results and input as they are made; marking the
// render index saved is the caller's, once the composite is written. A saved state that does not
// fit this grid throws std::out_of_range; the steps' own exceptions become the failure.
SequenceFrameResult render_sequence_frame(const SequenceFrameSettings& settings, const PatchGrid& grid, int W, int H,
                                          SequenceMemory& memory, SequencePatchReader& reader,
                                          const SequenceNetworks& networks, const RenderHooks& hooks);

} // namespace magnifex
