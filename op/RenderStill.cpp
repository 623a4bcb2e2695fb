// Still mode's glue: the input frame as the network input, the patch walk, the write-back.
#include "op/RenderStill.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

#include "models/NetworkSet.h"
#include "op/DebugStream.h"
#include "op/FormatRules.h"
#include "op/InputReader.h"
#include "render/HostMemory.h"
#include "render/StillWalk.h"
#include "render/WriteBack.h"

using namespace DD::Image;

namespace magnifex {
namespace {

// A failure of one step, with the text the node shows for it.
struct StepFailure : std::runtime_error {
  StepFailure(const char* stage, const char* node_text, const std::string& what)
      : std::runtime_error(what), stage(stage), node_text(node_text)
  {}
  const char* stage;
  const char* node_text;
};

constexpr const char* kPreparing = "Error preparing the current frame";
constexpr const char* kOutput = "Error during the final output process";

// Runs one step, its failure becoming that stage's.
template <class Step>
auto step(const char* stage, Step&& run)
{
  try {
    return run();
  } catch (const StepFailure&) {
    throw;
  } catch (const std::exception& e) {
    throw StepFailure(stage, nullptr, e.what());
  }
}

// Input 0's frame as the network input on the run's device, with its non-finite values noted;
// nothing after a node error or an abort. The input plane lives only until the network input is
// made from it (a copy): at 4K it is 100 MB that the walk does not need.
std::optional<at::Tensor> network_input(const RenderRun& run, InputReader& reader, NonFiniteValues& non_finite)
{
  std::optional<at::Tensor> host;
  {
    const std::unique_ptr<ImagePlane> planes = reader.fetch(*run.node.input0(), reader.box());
    if (run.node.aborted())
      return std::nullopt;
    host = step(kPreparing, [&] { return reader.to_host(*planes); });
  }
  if (!host)
    return std::nullopt;
  if (run.settings.debug)
    debug_line("Allocated tensor (still)");
  if (run.node.aborted())
    return std::nullopt;
  at::Tensor image = step(kPreparing, [&] { return still_network_input(*host, run.device, &non_finite); });
  if (run.settings.debug)
    debug_line("Tensor reformated and moved to GPU");
  return image;
}

} // namespace

void render_still(const RenderRun& run, ImagePlane& plane)
{
  InputReader reader(run);
  if (!reader.begin("Still mode", plane) || !reader.output_fits(plane))
    return;
  const std::optional<PatchGrid> grid = reader.patch_grid(run.settings.multisample);
  if (!grid)
    return;

  StillWalkSettings settings;
  settings.scale = run.settings.scale_factor();
  settings.multisample = run.settings.multisample;
  settings.debug_patch = run.settings.debug_patch;
  const NetworkPass pass = [&run](const at::Tensor& chunk) { return run.pass(run.networks.still_net, {chunk}); };
  const Box& out = plane.bounds();
  const std::size_t plane_floats = std::size_t(out.w()) * std::size_t(out.h()) * std::size_t(plane.nComps());
  bool wrote_rows = false;
  try {
    NonFiniteValues non_finite;
    const std::optional<at::Tensor> image = network_input(run, reader, non_finite);
    if (!image || run.node.aborted())
      return;
    if (run.settings.debug)
      debug_line(grid_count_text("Inference runs: ", *grid, settings.multisample));

    std::optional<PlaneWriter> writer;
    step(kOutput, [&] {
      writer.emplace(plane.writable(), plane_floats, out.h(), out.w(), plane.nComps(), true);
      writer->set_channel_sources(output_channel_sources(plane.channels(), reader.channels(), false));
      writer->set_non_finite(std::move(non_finite), settings.scale);
    });
    // The walk writes regions into the plane as they are finished; a failure there is the output
    // process's, not the patches'.
    const FinishedRegion finished = [&](const at::Tensor& region, int64_t first_row, int64_t first_column) {
      wrote_rows = true;
      step(kOutput, [&] { writer->write(region, first_row, first_column); });
      // Once per patch, when its activations are gone: not between the four passes of a
      // multisample patch, whose same-sized activations the allocator reuses well.
      return_free_memory();
    };
    bool walked = false;
    try {
      walked = still_walk_regions(*image, *grid, settings, pass, run.hooks(), finished);
    } catch (const StepFailure&) {
      throw;
    } catch (const std::exception& e) {
      throw StepFailure("Error during image patch processing", patch_error_text(e.what()), e.what());
    }
    if (!walked) {
      // A render that stops half way leaves the plane as it found it, not with its first patches.
      if (wrote_rows)
        std::fill_n(plane.writable(), plane_floats, 0.0f);
      return;
    }
    writer->log_fitting(3, run.hooks());
  } catch (const StepFailure& f) {
    if (wrote_rows)
      std::fill_n(plane.writable(), plane_floats, 0.0f);
    run.report_failure(f.stage, f.what(), f.node_text);
    return;
  }
  run.finish();
}

} // namespace magnifex
