#include "render/StillWalk.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include <ATen/ops/cat.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/empty_like.h>
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

at::Tensor still_network_input(const at::Tensor& host_tensor, c10::Device device, NonFiniteValues* non_finite)
{
  const at::Tensor linear = fit_network_channels(to_pipeline(host_tensor, device), 3);
  if (non_finite)
    *non_finite = NonFiniteValues(linear);
  return logEncode(with_finite_stand_ins(linear));
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

namespace {

// The composite of the patches walked so far, kept only where a later patch still reaches it: the
// columns of the current patch row that later patches in the row overlap (the window, at most one
// patch in size) and, across the whole width, the rows the next patch row overlaps (the carry).
// Everything else is handed on as soon as the patch that finishes it has been blended, so that at
// 4x no full-width band of patch rows (150 MB for a 1080p plate) sits beside the output plane.
class PatchWindow {
public:
  PatchWindow(const at::Tensor& like, int S, const std::vector<PatchRect>& patches, int64_t out_width,
              const FinishedRegion& finished)
      : S_(S), finished_(finished)
  {
    // Where the later patches of each patch's row start, and the later rows of each row: what lies
    // before them is final once the patch (or the row) has been blended.
    later_left_.resize(patches.size());
    int64_t max_h = 0, max_w = 0, max_carry = 0;
    for (std::size_t i = patches.size(); i-- > 0;) {
      const PatchRect& p = patches[i];
      const bool row_ends = i + 1 == patches.size() || patches[i + 1].row != p.row;
      later_left_[i] = row_ends ? p.xEnd : std::min({later_left_[i + 1], patches[i + 1].xStart, p.xEnd});
      if (later_left_[i] < p.xStart)
        throw std::logic_error("a later patch of the row starts before this one");
      max_h = std::max<int64_t>(max_h, p.height());
      max_w = std::max<int64_t>(max_w, p.width());
    }
    for (std::size_t i = 0; i < patches.size(); ++i)
      if (i + 1 < patches.size() && patches[i + 1].row != patches[i].row) {
        const int next_top = patches[i + 1].yStart;
        if (next_top < patches[i].yStart)
          throw std::logic_error("a later row of patches starts above this one");
        next_top_.push_back(std::min(next_top, patches[i].yEnd));
        max_carry = std::max<int64_t>(max_carry, patches[i].yEnd - next_top_.back());
      }
    const at::TensorOptions options = like.options().dtype(at::kFloat);
    window_ = at::empty({1, 3, S * max_h, S * max_w}, options);
    carry_ = at::empty({1, 3, S * max_carry, out_width}, options);
    next_carry_ = at::empty_like(carry_);
  }

  // The patch's output region, holding what earlier patches blended into it (zeros elsewhere).
  at::Tensor enter(const PatchRect& p)
  {
    if (p.row != row_) {
      std::swap(carry_, next_carry_);
      carry_rows_ = row_ < 0 ? 0 : bottom_ - next_top_row_;
      row_ = p.row;
      top_ = int64_t(S_) * p.yStart;
      bottom_ = int64_t(S_) * p.yEnd;
      next_top_row_ = std::size_t(row_) < next_top_.size() ? int64_t(S_) * next_top_[std::size_t(row_)] : bottom_;
      right_ = int64_t(S_) * p.xStart;
    }
    const int64_t left = int64_t(S_) * p.xStart, right = int64_t(S_) * p.xEnd, height = bottom_ - top_;
    if (right_ < left || right < right_)
      throw std::logic_error("patches of a row out of order");
    const at::Tensor region = window_.narrow(2, 0, height).narrow(3, 0, right - left);
    if (right > right_) {
      // Columns no patch of this row has reached yet: the rows above carried down, zeros below.
      at::Tensor fresh = region.narrow(3, right_ - left, right - right_);
      const int64_t carried = std::min(carry_rows_, height);
      fresh.narrow(2, 0, carried).copy_(carry_.narrow(2, 0, carried).narrow(3, right_, right - right_));
      fresh.narrow(2, carried, height - carried).zero_();
      right_ = right;
    }
    return region;
  }

  // After the patch was blended (or skipped): its columns that no later patch of the row reaches
  // are handed on above the next row's top and carried down below it; the rest stays for the next
  // patch, moved to the window's left edge.
  void leave(const PatchRect& p, const at::Tensor& region)
  {
    const int64_t left = int64_t(S_) * p.xStart, done = int64_t(S_) * later_left_[std::size_t(p.index)] - left;
    const int64_t above = next_top_row_ - top_, below = bottom_ - next_top_row_;
    if (done > 0) {
      const at::Tensor final_columns = region.narrow(3, 0, done);
      if (above > 0)
        finished_(final_columns.narrow(2, 0, above), top_, left);
      if (below > 0)
        next_carry_.narrow(2, 0, below).narrow(3, left, done).copy_(final_columns.narrow(2, above, below));
    }
    const int64_t kept = region.size(3) - done;
    if (done > 0 && kept > 0)
      region.narrow(3, 0, kept).copy_(region.narrow(3, done, kept).clone());
  }

private:
  int S_;
  const FinishedRegion& finished_;
  std::vector<int> later_left_; // per patch index, input columns
  std::vector<int> next_top_;   // per row but the last, input rows
  at::Tensor window_, carry_, next_carry_;
  int row_ = -1;
  int64_t top_ = 0, bottom_ = 0, next_top_row_ = 0, right_ = 0, carry_rows_ = 0;
};

} // namespace

bool still_walk_regions(const at::Tensor& tensor_image, const PatchGrid& grid, const StillWalkSettings& settings,
                        const NetworkPass& pass, const RenderHooks& hooks, const FinishedRegion& finished)
{
  const int S = settings.scale;
  const int64_t H = tensor_image.size(2), W = tensor_image.size(3);
  const std::vector<PatchRect> patches = patch_walk(grid, int(W), int(H));
  PatchWindow window(tensor_image, S, patches, S * W, finished);

  int done = 0;
  hooks.report(done, grid.inferenceRuns);
  for (const PatchRect& p : patches) {
    at::Tensor region = window.enter(p);
    if (hooks.logging()) {
      hooks.log(" ");
      hooks.log("Processing image patch: " + std::to_string(p.index) + ", with pixel coordinates:");
      hooks.log("    " + std::to_string(p.xStart) + ", " + std::to_string(p.yStart) + " - " + std::to_string(p.xEnd) +
                ", " + std::to_string(p.yEnd));
      if (settings.debug_patch >= 0 && p.index >= settings.debug_patch) {
        window.leave(p, region);
        continue;
      }
    }
    hooks.report(done, grid.inferenceRuns);
    hooks.log(sizes_line("tensor_image sizes: ", tensor_image));
    const at::Tensor chunk = tensor_image.narrow(3, p.xStart, p.width()).narrow(2, p.yStart, p.height());
    hooks.log(sizes_line("tensor_image_chunk sizes: ", chunk));

    at::Tensor out_tensor;
    if (settings.multisample) {
      std::optional<at::Tensor> averaged = multisample_passes(chunk, pass, hooks, done, grid.inferenceRuns);
      if (!averaged)
        return false;
      out_tensor = *averaged;
    } else {
      out_tensor = pass(chunk);
      if (hooks.stop())
        return false;
      hooks.report(++done, grid.inferenceRuns);
      if (hooks.stop())
        return false;
    }

    hooks.log(sizes_line("out_tensor sizes: ", out_tensor));
    const at::Tensor mask =
      blend_mask(grid, p, int(out_tensor.size(2)), int(out_tensor.size(3)), S, tensor_image.device());
    hooks.log(sizes_line("tensor_image_mask sizes: ", mask));
    PatchRect in_window = p;
    in_window.xEnd -= in_window.xStart;
    in_window.xStart = 0;
    in_window.yEnd -= in_window.yStart;
    in_window.yStart = 0;
    composite_patch(region, out_tensor, mask, in_window, S);
    out_tensor = at::Tensor();
    window.leave(p, region);
  }
  return true;
}

std::optional<at::Tensor> still_walk(const at::Tensor& tensor_image, const PatchGrid& grid,
                                     const StillWalkSettings& settings, const NetworkPass& pass,
                                     const RenderHooks& hooks)
{
  const int S = settings.scale;
  at::Tensor composite =
    at::empty({1, 3, S * tensor_image.size(2), S * tensor_image.size(3)}, tensor_image.options().dtype(at::kFloat));
  const FinishedRegion gather = [&](const at::Tensor& region, int64_t first_row, int64_t first_column) {
    composite.narrow(2, first_row, region.size(2)).narrow(3, first_column, region.size(3)).copy_(region);
  };
  if (!still_walk_regions(tensor_image, grid, settings, pass, hooks, gather))
    return std::nullopt;
  return composite;
}

} // namespace magnifex
