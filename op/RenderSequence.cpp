// Sequence mode's glue: the per-patch state saved between renders, the preroll, reading each
// patch of each frame from the input contexts, and the end-of-render bookkeeping.
#include "op/Magnifex.h"

#include <ATen/ops/full.h>
#include <ATen/ops/zeros.h>
#include <ATen/ops/zeros_like.h>

#include "op/DebugStream.h"
#include "op/FormatRules.h"
#include "render/PatchBlend.h"
#include "render/PlaneTensor.h"
#include "render/sequence/RecurrentStep.h"

using namespace DD::Image;
using namespace magnifex;

namespace {

const char* const kFormatChanged =
  "The node doesn't support dynamically changing format/bbox between frames in sequence mode. Try adding a constant "
  "Crop (with reformat checked) before the Magnifex node to commit to the same constant input format.";

// Stores `value` at `index`, growing the vector as needed, so a state index always finds its entry.
template <class T>
void store_at(std::vector<T>& v, std::size_t index, T value)
{
  if (v.size() <= index)
    v.resize(index + 1);
  v[index] = std::move(value);
}

// Position of the alpha channel among the channels, -1 when absent.
int alpha_position(const ChannelSet& channels)
{
  int index = 0;
  for (Channel c = channels.first(); c != Chan_Black; c = channels.next(c), ++index)
    if (c == Chan_Alpha)
      return index;
  return -1;
}

} // namespace

std::optional<at::Tensor> Magnifex::read_patch(int context, const PatchRect& p, const Box& input_box,
                                               const ChannelSet& readChannels, const RenderRun& run, bool current_frame)
{
  Iop* source = input(context);
  if (!source) {
    error("Input context %d of the preroll is missing", context);
    return std::nullopt;
  }
  const int H = input_box.h();
  const Box request(input_box.x() + p.xStart, input_box.y() + H - p.yEnd, input_box.x() + p.xEnd,
                    input_box.y() + H - p.yStart);
  const int n = int(readChannels.size());
  if (debug && current_frame)
    debug_line(cat("Requested input(", context, "): ", request.x(), ", ", request.y(), ", ", request.r(), ", ",
                   request.t(), "; readChannels: ", readChannels));
  else if (debug)
    debug_line(cat("Requested input(", context, "): ", request.x(), ", ", request.y(), ", ", request.r(), ", ",
                   request.t(), "; readChannels: ", readChannels, "; channel_count: ", n));
  source->request(request, readChannels, 1);
  ImagePlane patch_plane(request, false, readChannels, n);
  source->fetchPlane(patch_plane);
  const float* pixels = nullptr;
  try {
    pixels = patch_plane.readable();
  } catch (const std::exception& e) {
    report_failure("Error allocating the current frame", e.what());
    return std::nullopt;
  }
  at::Tensor host = host_tensor_from_planes(pixels, n, p.height(), p.width(), run.gpu_in_use);
  if (debug && current_frame) {
    debug_line("Allocated tensor for this frame (sequence)");
  } else if (debug) {
    debug_line("Tensor allocated");
    debug_line(cat("Tensor filled with image data, channel count: ", n));
  }
  return host;
}

void Magnifex::render_sequence(ImagePlane& plane, const RenderRun& run)
{
  Box input_box;
  ChannelSet readChannels;
  if (!begin_mode("Sequence mode", plane, input_box, readChannels) || aborted())
    return;
  const int W = input_box.w(), H = input_box.h();
  const int F = static_cast<int>(outputContext().frame());
  if (F < first_frame || F > last_frame)
    return;
  const std::string channel_text = cat(readChannels);
  if (readChannels.empty()) {
    error("Nothing to render: the input has none of the channels the output asks for");
    return;
  }
  if (!output_plane_fits(plane, W, H))
    return;

  const std::size_t r = std::size_t(render_count);
  if (saved_channel_sets.size() > r && saved_channel_sets[r] != channel_text) {
    reset_sequence_state();
    preroll_frames.clear();
    if (preroll >= 1)
      compute_preroll_frames(F);
  }
  const std::optional<PatchGrid> grid = compute_patch_grid(W, H, max_size, overlap, padding, false);
  if (!grid) {
    error("No patch grid for a %d x %d input with max size %d", W, H, max_size);
    return;
  }
  const Material material = this->material();
  const int s = scale_factor(scale);
  const bool load = state_saved.size() > r && state_saved[r];
  const int patches = grid->patchCount();
  // Five steps per frame of each patch: the preroll frames when they run, and the current one.
  const int total = patches * 5 * (load ? 1 : int(preroll_frames.size()) + 1);
  if (debug && !load) {
    for (const auto& [frame, context] : frame_to_input)
      debug_line(cat("renderStripe mappings: ", frame, " frame, uses input nr: ", context));
    debug_line("Calculating preroll");
  }

  const int alpha_index = alpha_position(readChannels);
  const bool gpu = run.gpu_in_use;
  SequenceNetworks networks;
  const at::Tensor iterations = at::full({1}, 25.0f, at::TensorOptions().device(run.device));
  networks.flow = [this, iterations](const at::Tensor& current, const at::Tensor& previous) {
    return flow_net.forward({current, previous, iterations}).toTensor();
  };
  networks.main = [this, gpu](const at::Tensor& lr, const at::Tensor& hr) {
    return run_network(sequence_net, {lr, hr}, gpu);
  };
  networks.colour = [this, gpu](const at::Tensor& lr, const at::Tensor& hr) {
    return run_network(sequence_rgb_net, {lr, hr}, gpu);
  };

  const RenderHooks hooks = render_hooks();
  int done = 0;
  progressFraction(done, total);
  // Five progress points per frame of a patch: the read here, four in the step.
  const std::function<bool()> advance = [&] {
    progressFraction(++done, total);
    return aborted();
  };

  // A patch of input context k as the networks take it; nothing after a node error or an abort.
  auto network_input = [&](int k, const PatchRect& p, bool current_frame) -> std::optional<at::Tensor> {
    const std::optional<at::Tensor> host = read_patch(k, p, input_box, readChannels, run, current_frame);
    if (!host || advance())
      return std::nullopt;
    at::Tensor tensor_image = sequence_network_input(*host, run.device, material, alpha_index);
    if (debug && !current_frame) {
      debug_line("Tensor reformated and moved to GPU");
      debug_line(cat("tensor_image sizes: ", tensor_image.sizes()));
    }
    return tensor_image;
  };

  // The result's own channels (3 plates, 4 with alpha); the write-back fits them to the plane.
  at::Tensor tensor_image_comp =
    at::zeros({1, material_channels(material), s * H, s * W}, at::TensorOptions().device(run.device));
  for (const PatchRect& p : patch_walk(*grid, W, H)) {
    const std::size_t idx = std::size_t(p.index) + std::size_t(patches) * r;
    if (debug)
      debug_line(cat("--------- ", p.index));
    std::optional<PatchState> state;
    if (load) {
      if (debug) {
        debug_line(cat("Not calculating preroll, loading tensor_image_previous_fullres for index ", idx));
        debug_line(cat("Also loading hr_prev for patch index ", idx));
      }
      // at(): a saved state that does not match this grid is an error, never a stray read.
      state = PatchState{hr_prevs.at(idx).to(run.device), hr_prevBs.at(idx).to(run.device),
                         saved_previous_fullres.at(idx).to(run.device)};
    } else {
      for (std::size_t i = 0; i < preroll_frames.size(); ++i) {
        const int f = preroll_frames[i];
        const auto mapped = frame_to_input.find(f);
        const int k = mapped == frame_to_input.end() ? 0 : mapped->second;
        if (debug)
          debug_line(cat("\nrenderStripe preroll frame: ", f, " to use input: ", k));
        if (Iop* context = input(k)) {
          context->validate(true);
          if (debug) {
            debug_line(cat("Got format (input: ", k, ")"));
            debug_line(cat("    fx1: ", context->x(), ", fy1: ", context->y(), ", fr1: ", context->r(),
                           ", ft1: ", context->t()));
            debug_line(cat("    height: ", context->t() - context->y(), ", width: ", context->r() - context->x()));
          }
          if (Box(context->x(), context->y(), context->r(), context->t()) != input_box) {
            if (debug)
              debug_line(kFormatChanged);
            error("%s", kFormatChanged);
            return;
          }
        }
        try {
          const std::optional<at::Tensor> input = network_input(k, p, false);
          if (!input)
            return;
          const at::Tensor& tensor_image = *input;
          if (debug)
            debug_line(cat("Calculating preroll frame: ", i));
          if (!state)
            state = initial_patch_state(tensor_image, material, s);
          const std::optional<StepResult> step =
            recurrent_step(tensor_image, *state, material, s, networks, advance, hooks, false);
          if (!step)
            return;
          state = state_after_preroll(tensor_image, *step);
        } catch (const std::exception& e) {
          debug_line(e.what());
          error("%s", last_line_of(e.what()).c_str());
          return;
        }
      }
    }

    try {
      if (debug)
        debug_line(
          "\n=============================\nGot previous frame tensors for the patch, calculate current HR frame: " +
          std::to_string(F));
      const std::optional<at::Tensor> input = network_input(0, p, true);
      if (!input)
        return;
      const at::Tensor& tensor_image = *input;
      if (debug)
        debug_line(cat("Calculating this frame: ", F));
      // No saved state and no preroll: start as the first preroll frame would.
      if (!state)
        state = initial_patch_state(tensor_image, material, s);
      if (debug)
        debug_line(saved_previous_fullres.size() > idx
                     ? "Last patch, overwriting the saved tensor_image_previous_fullres"
                     : "Last patch, appending the saved tensor_image_previous_fullres");
      store_at(saved_previous_fullres, idx, tensor_image.detach().clone());
      const std::optional<StepResult> step =
        recurrent_step(tensor_image, *state, material, s, networks, advance, hooks, true);
      if (!step)
        return;
      if (debug) {
        debug_line(cat("Saving the calculated hr_prev patch for render_count ", render_count,
                       ", size before: ", hr_prevs.size()));
        debug_line(cat(hr_prevs.size() > idx ? "Overwriting the hr_prevs with hr_curr for index "
                                             : "Appending hr_curr to the hr_prevs for index ",
                       idx));
      }
      store_at(hr_prevs, idx, step->hr_curr);
      store_at(hr_prevBs, idx, step->hr_currB.defined() ? step->hr_currB : at::zeros_like(tensor_image));
      if (debug)
        debug_line(cat("and size after: ", hr_prevs.size()));
      last_rendered_frame = F;
      const at::Tensor hr_result = finish_current_frame(*state, *step, material, debugoutput);
      hr_prev = state->hr_prev;
      hr_prevB = state->hr_prevB;
      tensor_image_previous_fullres = state->previous;
      if (debug) {
        debug_line(cat("calculated hr_curr: ", step->hr_curr.sizes()));
        debug_line(cat("hr_prev sizes: ", hr_prev.sizes()));
        debug_line(cat("hr_result sizes: ", hr_result.sizes()));
      }
      composite_patch(tensor_image_comp, hr_result,
                      blend_mask(*grid, p, int(hr_result.size(2)), int(hr_result.size(3)), s, run.device), p, s);
    } catch (const std::exception& e) {
      debug_line("Error during the final patch processing");
      debug_line(e.what());
      error("%s", last_line_of(e.what()).c_str());
      return;
    }
  }
  if (debug)
    debug_line("Done with all the patch rendering, will do the final result processing");
  if (!write_output(plane, std::move(tensor_image_comp), false))
    return;
  store_at(saved_channel_sets, r, channel_text);
  if (state_saved.size() <= r)
    state_saved.resize(r + 1, false);
  state_saved[r] = true;
  finish_render(run);
}
