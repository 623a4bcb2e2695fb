#include "render/sequence/SequenceFrame.h"

#include <ATen/ops/zeros.h>

#include "render/DebugText.h"
#include "render/PatchBlend.h"

namespace magnifex {

namespace {

const char* const kFormatChanged =
  "The node doesn't support dynamically changing format/bbox between frames in sequence mode. Try adding a constant "
  "Crop (with reformat checked) before the Magnifex node to commit to the same constant input format.";

SequenceFrameFailure exception_failure(const std::exception& e, std::vector<std::string> log = {})
{
  log.push_back(e.what());
  return SequenceFrameFailure{last_line_of(e.what()), std::move(log)};
}

// One frame's walk over the patches; the state between its stages lives here rather than in a
// function of many references.
class FrameWalk {
public:
  FrameWalk(const SequenceFrameSettings& settings, const PatchGrid& grid, SequenceMemory& memory,
            SequencePatchReader& reader, const SequenceNetworks& networks, const RenderHooks& hooks, bool load)
      : s_(settings), grid_(grid), memory_(memory), reader_(reader), networks_(networks), hooks_(hooks), load_(load),
        total_(grid.patchCount() * 5 * (load ? 1 : int(settings.preroll_frames.size()) + 1))
  {
    advance_ = [this] {
      hooks_.report(++done_, total_);
      return hooks_.stop();
    };
  }

  SequenceFrameResult run(int W, int H)
  {
    if (hooks_.logging() && !load_) {
      for (const auto& [frame, context] : s_.frame_to_input)
        hooks_.log(cat("renderStripe mappings: ", frame, " frame, uses input nr: ", context));
      hooks_.log("Calculating preroll");
    }
    hooks_.report(done_, total_);
    result_.composite =
      at::zeros({1, material_channels(s_.material), s_.scale * H, s_.scale * W}, at::TensorOptions().device(s_.device));
    for (const PatchRect& p : patch_walk(grid_, W, H))
      if (!patch(p)) {
        result_.composite = at::Tensor();
        return std::move(result_);
      }
    hooks_.log("Done with all the patch rendering, will do the final result processing");
    return std::move(result_);
  }

private:
  // False when the frame ends here: a failure, an abort or a reader's error.
  bool patch(const PatchRect& p)
  {
    const std::size_t slot = std::size_t(p.index) + std::size_t(grid_.patchCount()) * s_.render_index;
    std::optional<PatchState> state;
    if (load_) {
      if (hooks_.logging()) {
        hooks_.log(cat("Not calculating preroll, loading tensor_image_previous_fullres for index ", slot));
        hooks_.log(cat("Also loading hr_prev for patch index ", slot));
      }
      state = memory_.load(slot, s_.device);
    } else if (!preroll(p, state)) {
      return false;
    }
    return current_frame(p, slot, state);
  }

  bool preroll(const PatchRect& p, std::optional<PatchState>& state)
  {
    for (std::size_t i = 0; i < s_.preroll_frames.size(); ++i) {
      const int f = s_.preroll_frames[i];
      const auto mapped = s_.frame_to_input.find(f);
      const int k = mapped == s_.frame_to_input.end() ? 0 : mapped->second;
      hooks_.log(cat("\nrenderStripe preroll frame: ", f, " to use input: ", k));
      if (const std::optional<ContextBox> box = reader_.context_box(k)) {
        if (hooks_.logging()) {
          hooks_.log(cat("Got format (input: ", k, ")"));
          hooks_.log(cat("    fx1: ", box->x, ", fy1: ", box->y, ", fr1: ", box->r, ", ft1: ", box->t));
          hooks_.log(cat("    height: ", box->t - box->y, ", width: ", box->r - box->x));
        }
        if (*box != s_.input_box) {
          hooks_.log(kFormatChanged);
          return fail(SequenceFrameFailure{kFormatChanged, {}});
        }
      }
      try {
        const std::optional<at::Tensor> input = network_input(k, p, false);
        if (!input)
          return false;
        hooks_.log(cat("Calculating preroll frame: ", i));
        if (!state)
          state = initial_patch_state(*input, s_.material, s_.scale);
        const std::optional<StepResult> step = this->step(p, *input, *state, false);
        if (!step)
          return false;
        state = state_after_preroll(*input, *step);
      } catch (const std::exception& e) {
        return fail(exception_failure(e));
      }
    }
    return true;
  }

  bool current_frame(const PatchRect& p, std::size_t slot, std::optional<PatchState>& state)
  {
    try {
      hooks_.log(
        "\n=============================\nGot previous frame tensors for the patch, calculate current HR frame: " +
        std::to_string(s_.frame));
      const std::optional<at::Tensor> input = network_input(0, p, true);
      if (!input)
        return false;
      const at::Tensor& tensor_image = *input;
      hooks_.log(cat("Calculating this frame: ", s_.frame));
      // No saved state and no preroll: start as the first preroll frame would.
      if (!state)
        state = initial_patch_state(tensor_image, s_.material, s_.scale);
      hooks_.log(memory_.holds_input(slot) ? "Last patch, overwriting the saved tensor_image_previous_fullres"
                                           : "Last patch, appending the saved tensor_image_previous_fullres");
      memory_.store_input(slot, tensor_image);
      const std::optional<StepResult> step = this->step(p, tensor_image, *state, true);
      if (!step)
        return false;
      if (hooks_.logging()) {
        hooks_.log(cat("Saving the calculated hr_prev patch for render_count ", s_.render_index,
                       ", size before: ", memory_.result_count()));
        hooks_.log(cat(memory_.holds_results(slot) ? "Overwriting the hr_prevs with hr_curr for index "
                                                   : "Appending hr_curr to the hr_prevs for index ",
                       slot));
      }
      memory_.store_results(slot, step->hr_curr, step->hr_currB, tensor_image);
      hooks_.log(cat("and size after: ", memory_.result_count()));
      memory_.last_rendered_frame = s_.frame;
      const at::Tensor hr_result = finish_current_frame(*state, *step, s_.material, s_.debugoutput);
      memory_.keep_working_state(*state);
      if (hooks_.logging()) {
        hooks_.log(cat("calculated hr_curr: ", step->hr_curr.sizes()));
        hooks_.log(cat("hr_prev sizes: ", state->hr_prev.sizes()));
        hooks_.log(cat("hr_result sizes: ", hr_result.sizes()));
      }
      const int s = s_.scale;
      composite_patch(result_.composite, hr_result,
                      blend_mask(grid_, p, int(hr_result.size(2)), int(hr_result.size(3)), s, s_.device), p, s);
    } catch (const std::exception& e) {
      return fail(exception_failure(e, {"Error during the final patch processing"}));
    }
    return true;
  }

  // The recurrent step of one frame of the patch, its flow announced with the patch's index.
  std::optional<StepResult> step(const PatchRect& p, const at::Tensor& tensor_image, const PatchState& state,
                                 bool current)
  {
    hooks_.log(cat("--------- ", p.index));
    return recurrent_step(tensor_image, state, s_.material, s_.scale, networks_, advance_, hooks_, current);
  }

  // A patch of input context k as the networks take it; nothing after a reader's error or an abort.
  std::optional<at::Tensor> network_input(int k, const PatchRect& p, bool current)
  {
    const std::optional<at::Tensor> host = reader_.read(k, p, current);
    if (!host || advance_())
      return std::nullopt;
    NonFiniteValues non_finite;
    at::Tensor tensor_image =
      sequence_network_input(*host, s_.device, s_.material, s_.alpha_index, current ? &non_finite : nullptr);
    result_.non_finite.add(non_finite, p.yStart, p.xStart);
    if (hooks_.logging() && !current) {
      hooks_.log("Tensor reformated and moved to GPU");
      hooks_.log(cat("tensor_image sizes: ", tensor_image.sizes()));
    }
    return tensor_image;
  }

  bool fail(SequenceFrameFailure failure)
  {
    result_.failure = std::move(failure);
    return false;
  }

  const SequenceFrameSettings& s_;
  const PatchGrid& grid_;
  SequenceMemory& memory_;
  SequencePatchReader& reader_;
  const SequenceNetworks& networks_;
  const RenderHooks& hooks_;
  const bool load_;
  const int total_;
  int done_ = 0;
  std::function<bool()> advance_;
  SequenceFrameResult result_;
};

} // namespace

SequenceFrameResult render_sequence_frame(const SequenceFrameSettings& settings, const PatchGrid& grid, int W, int H,
                                          SequenceMemory& memory, SequencePatchReader& reader,
                                          const SequenceNetworks& networks, const RenderHooks& hooks)
{
  FrameWalk walk(settings, grid, memory, reader, networks, hooks, memory.saved(settings.render_index));
  return walk.run(W, H);
}

} // namespace magnifex
