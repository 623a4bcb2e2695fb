#include "render/StillWalk.h"

#include <algorithm>
#include <sstream>

#include <ATen/ops/cat.h>
#include <ATen/ops/empty.h>
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

namespace {

// The output rows of one row of patches, [S * yStart, S * yEnd), cross-faded in place. Moving to
// the next row hands on the rows above its top, which no later patch reaches (the rows' spans
// start and end further down each time), and keeps the overlap.
class PatchRowBand {
public:
  PatchRowBand(const at::Tensor& like, int S, int64_t max_rows, int64_t columns, const FinishedRows& finished)
    : S_(S), buffer_(at::zeros({1, 3, int64_t(S) * max_rows, int64_t(S) * columns}, like.options().dtype(at::kFloat))),
      finished_(finished)
  {
  }

  // The band of the patch's row, the rows above it handed on; composite at band-relative rows.
  at::Tensor& enter(const PatchRect& p)
  {
    if (row_ == p.row)
      return current_;
    const int64_t top = int64_t(S_) * p.yStart, bottom = int64_t(S_) * p.yEnd;
    if (row_ >= 0) {
      finished_(current_.narrow(2, 0, top - top_), top_);
      const int64_t kept = top_ + current_.size(2) - top;
      buffer_.narrow(2, 0, kept).copy_(current_.narrow(2, top - top_, kept).clone());
      buffer_.narrow(2, kept, bottom - top - kept).zero_();
    }
    row_ = p.row;
    top_ = top;
    current_ = buffer_.narrow(2, 0, bottom - top);
    return current_;
  }

  // The last row's rows.
  void finish()
  {
    if (row_ >= 0)
      finished_(current_, top_);
  }

  int64_t top() const { return top_; }

private:
  int S_;
  at::Tensor buffer_;
  const FinishedRows& finished_;
  at::Tensor current_;
  int row_ = -1;
  int64_t top_ = 0;
};

} // namespace

bool still_walk_rows(const at::Tensor& tensor_image, const PatchGrid& grid, const StillWalkSettings& settings,
                     const NetworkPass& pass, const RenderHooks& hooks, const FinishedRows& finished)
{
  const int S = settings.scale;
  const int64_t H = tensor_image.size(2), W = tensor_image.size(3);
  const std::vector<PatchRect> patches = patch_walk(grid, int(W), int(H));
  int max_rows = 0;
  for (const PatchRect& p : patches)
    max_rows = std::max(max_rows, p.height());
  PatchRowBand band(tensor_image, S, max_rows, W, finished);

  int done = 0;
  hooks.report(done, grid.inferenceRuns);
  for (const PatchRect& p : patches) {
    at::Tensor& rows = band.enter(p);
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
    PatchRect in_band = p;
    in_band.yStart -= int(band.top() / S);
    in_band.yEnd -= int(band.top() / S);
    composite_patch(rows, out_tensor, mask, in_band, S);
  }
  band.finish();
  return true;
}

std::optional<at::Tensor> still_walk(const at::Tensor& tensor_image, const PatchGrid& grid,
                                     const StillWalkSettings& settings, const NetworkPass& pass,
                                     const RenderHooks& hooks)
{
  const int S = settings.scale;
  at::Tensor composite = at::empty({1, 3, S * tensor_image.size(2), S * tensor_image.size(3)},
                                   tensor_image.options().dtype(at::kFloat));
  const FinishedRows gather = [&](const at::Tensor& rows, int64_t first_row) {
    composite.narrow(2, first_row, rows.size(2)).copy_(rows);
  };
  if (!still_walk_rows(tensor_image, grid, settings, pass, hooks, gather))
    return std::nullopt;
  return composite;
}

} // namespace magnifex
