// Reactions of the panel and of the node's state to parameter changes.
#include "op/Magnifex.h"

#include "models/NetworkSet.h"
#include "op/FormatRules.h"
#include "op/GpuReport.h"

using namespace DD::Image;
using namespace magnifex;

namespace {

const double kFrameNotSet = -999999.0;

double knob_value(const Op* op, const char* name)
{
  Knob* k = op->knob(name);
  return k ? k->get_value(0) : 0.0;
}

} // namespace

int Magnifex::knob_changed(Knob* k)
{
  int handled = 0;
  if (k) {
    if (k == &Knob::showPanel || k->is("mode") || k->is("max_size") || k->is("overlap") || k->is("multisample")) {
      refresh_panel(k->is("mode"));
      handled = 1;
    } else if (k->is("cuda_deviceid")) {
      refresh_gpu_readouts();
    } else if (k->is("use_gpu")) {
      const bool on = k->get_value(0) != 0.0;
      enable_knob("gpu_render_override", on);
      enable_knob("mixedprecision", on);
      networks_->invalidate_placement();
      handled = 1;
    } else if (k->is("reset")) {
      if (input0()) {
        fill_frame_range(true);
        handled = 1;
      }
    } else if (k->is("type") || k->is("scale")) {
      networks_->invalidate();
      handled = 1;
    }
  }
  return PlanarIop::knob_changed(k) ? 1 : handled;
}

void Magnifex::refresh_panel(bool mode_changed)
{
  int W = 0, H = 0;
  if (Iop* in = input0()) {
    const Format& f = in->info().format();
    W = f.r() - f.x();
    H = f.t() - f.y();
  }
  const bool still = knob_value(this, "mode") == 0.0;
  const bool multisample_on = knob_value(this, "multisample") == 1.0;
  set_knob_text("image_patches", patch_count_text(W, H, settings_.max_size, settings_.overlap, multisample_on, still));

  enable_knob("multisample", still);
  for (const char* name : {"type", "first_frame", "last_frame", "reset", "preroll", "debugoutput"})
    enable_knob(name, !still);

  if (input0())
    fill_frame_range(false);

  if (mode_changed)
    networks_->invalidate();
}

void Magnifex::fill_frame_range(bool overwrite)
{
  Iop* in = input0();
  in->validate(true);
  frame_.input_first_frame = in->info().first_frame();
  frame_.input_last_frame = in->info().last_frame();
  // A range the user typed is kept unless reset asks for the input's own.
  if (Knob* first = knob("first_frame"))
    if (overwrite || first->get_value(0) == kFrameNotSet)
      first->set_value(frame_.input_first_frame, -1);
  if (Knob* last = knob("last_frame"))
    if (overwrite || last->get_value(0) == kFrameNotSet)
      last->set_value(frame_.input_last_frame, -1);
}

void Magnifex::refresh_gpu_readouts()
{
  const bool cuda = machine_->cuda_available();
  bool supported = true;
  if (cuda) {
    probe_gpu(true);
    if (!gpu_status_.gpu_compute_capability.empty())
      set_knob_text("kernelInfo",
                    kernel_info_text(gpu_status_.native_compute_capability, gpu_status_.gpu_compute_capability));
    supported = report_gpu_supported();
  }
  set_knob_text("gpuName", gpu_status_.gpu_name);
  if (cuda)
    set_knob_text("gpuMemory", gpu_memory_text(supported));
}

void Magnifex::set_knob_text(const char* name, const std::string& text)
{
  if (Knob* k = knob(name))
    k->textKnob()->text(text.c_str());
}

void Magnifex::enable_knob(const char* name, bool on)
{
  if (Knob* k = knob(name))
    on ? k->enable() : k->disable();
}
