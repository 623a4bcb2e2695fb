// The parameter panel.
#include "op/Magnifex.h"

#include "op/GpuReport.h"

using namespace DD::Image;
using namespace magnifex;

namespace {

const char* const mode_entries[] = {"still", "sequence", nullptr};
const char* const scale_entries[] = {"2x", "4x", nullptr};
const char* const type_entries[] = {"Plates (Alexa) [RGB]", "CG [RGBA]", "Hybrid (Alexa+CG) [RGBA]", nullptr};

// Knobs of the GPU settings group start greyed out when the GPU cannot be used.
void disable_unless(Knob* k, bool usable)
{
  if (k && !usable)
    k->disable();
}

// The unit shown after a size parameter, on the same row.
void pixels_suffix(Knob_Callback f)
{
  Text_knob(f, "px");
  ClearFlags(f, Knob::STARTLINE);
}

} // namespace

void Magnifex::knobs(Knob_Callback f)
{
  Text_knob(f, "Local GPU: ", "");

  gpu_status_.gpu_name = "Not available";
  const bool cuda = machine_->cuda_available();
  if (cuda)
    probe_gpu(true);
  const bool usable = report_gpu_supported() && cuda;

  Named_Text_knob(f, "gpuName", "", gpu_status_.gpu_name.c_str());
  Text_knob(f, " ", "");
  if (cuda) {
    const std::string memory = gpu_memory_text(usable);
    Text_knob(f, "GPU memory: ", "");
    Named_Text_knob(f, "gpuMemory", "", memory.c_str());
    Text_knob(f, " ", "");
  }

  BeginClosedGroup(f, "GPU settings");
  disable_unless(Int_knob(f, &settings_.cuda_deviceid, "cuda_deviceid", "CUDA device ID"), usable);
  Tooltip(f, "This sets what CUDA device to use for GPU processing. The default is 0 meaning the 'cuda:0' device "
             "will be used. To check your available CUDA devices, please run 'nvidia-smi' in a terminal.");
  disable_unless(Bool_knob(f, &settings_.use_gpu, "use_gpu", "Use GPU if available"), usable);
  Tooltip(f, "When this is on, the processing will happen using the GPU instead of the CPU which is generally A "
             "LOT faster.");
  disable_unless(Bool_knob(f, &settings_.gpu_render_override, "gpu_render_override", "Use --gpu device override"),
                 usable);
  Tooltip(f, "When this is on, the node will look at the Nuke command line --gpu argument when rendering in batch "
             "render mode, and use that CUDA device for processing instead of the saved device ID above on the "
             "cuda_deviceid knob.");
  SetFlags(f, Knob::STARTLINE);
  EndGroup(f);

  Divider(f);
  Named_Text_knob(f, "image_patches", "", "Image patches: -");
  SetFlags(f, Knob::DO_NOT_WRITE);
  Divider(f);

  Enumeration_knob(f, &settings_.mode, mode_entries, "mode");
  Tooltip(f, "Specify the processing mode of the algorithm. Still mode is for still photos, textures etc. while "
             "sequence mode is for moving material like digital video.");
  SetFlags(f, Knob::EARLY_STORE);
  Enumeration_knob(f, &settings_.scale, scale_entries, "scale");
  Tooltip(f, "Specify the scaling multiplier. You can choose between 2x and 4x.");
  SetFlags(f, Knob::EARLY_STORE);
  Float_knob(f, &settings_.details, "details", "details");
  Tooltip(f, "details blends between two different neural networks to get a satisfactory level of details versus "
             "smoothness for your particular material. A value of 0.0 uses a PSNR based network only, 1.0 uses a "
             "GAN based network only, and everything in between generates a mix of the two.");
  SetFlags(f, Knob::STARTLINE);

  Int_knob(f, &settings_.max_size, "max_size", "max size");
  Tooltip(f, "max size sets the maximum length, in both directions, of every image pass/patch. Measured in pixels "
             "in the source material space.");
  pixels_suffix(f);
  Int_knob(f, &settings_.overlap, "overlap", "overlap");
  Tooltip(f, "overlap sets the amount of overlap between the image patches, measured in pixels in the source "
             "material space.");
  pixels_suffix(f);
  Int_knob(f, &settings_.padding, "padding", "padding");
  Tooltip(f, "padding reduces the cross fading area from using the full overlap area, so the resulting image "
             "doesn't contain any pixels from the patches' edges. This is also measured in pixels in the source "
             "material space.");
  pixels_suffix(f);

  Bool_knob(f, &settings_.mixedprecision, "mixedprecision", "mixed precision");
  Tooltip(f, "When mixed precision is on, the inference is only using 16bit half floats instead of 32bit full "
             "floats (for GPUs that supports it). This results in a tiny bit less accuracy in favor of faster "
             "inference and a lower memory footprint.");
  SetFlags(f, Knob::STARTLINE);
  Bool_knob(f, &settings_.use_bfloat16, "use_bfloat16", "use BFloat16");
  Tooltip(f, "When activated, the mixed precision will process using the datatype BFloat16 (if supported) instead "
             "of half floats (Float16). This is generally a better datatype to process neural nets in when using "
             "16-bit, but is only available from Ampere GPUs and later (sm_80+).");
  ClearFlags(f, Knob::STARTLINE);
  SetFlags(f, Knob::HIDDEN);
  Bool_knob(f, &settings_.debug, "debug", "debug info");
  Tooltip(f, "When activated, prints a lot of verbose info about internal process state to the terminal");
  SetFlags(f, Knob::HIDDEN | Knob::STARTLINE);
  Int_knob(f, &settings_.debug_patch, "debug_patch", "debug patch");
  Tooltip(f, "When debug is on, this knob sets up to what single processing patch to output (unless it's -1, "
             "which means process all)");
  SetFlags(f, Knob::HIDDEN | Knob::STARTLINE);
  Divider(f);

  BeginGroup(f, "Still settings");
  Bool_knob(f, &settings_.multisample, "multisample", "multisample");
  Tooltip(f, "When multisample is on, each image patch is run through the neural network 4 times instead of one. "
             "This produces less sharp, but smoother results which somtimes is preferable.");
  SetFlags(f, Knob::STARTLINE);
  EndGroup(f);

  BeginGroup(f, "Sequence settings");
  Enumeration_knob(f, &settings_.type, type_entries, "type");
  Tooltip(f, "Specify the type of material you want to process, plates are for photographed/filmed material (RGB) "
             "and CG is for computer graphics i.e. generated/synthetic material (RGBA).");
  Int_knob(f, &settings_.first_frame, "first_frame", "frame range");
  Tooltip(f, "Specifies the first frame of the input material's frame range.");
  SetFlags(f, Knob::EARLY_STORE);
  Int_knob(f, &settings_.last_frame, "last_frame", "");
  Tooltip(f, "Specifies the last frame of the input material's frame range.");
  ClearFlags(f, Knob::STARTLINE);
  SetFlags(f, Knob::EARLY_STORE);
  Button(f, "reset", "reset");
  Tooltip(f, "Try to set the frame range knobs by getting the needed data from the upstream meta data. This is not "
             "always available, and if that is the case you got to set it manually.");
  Int_knob(f, &settings_.preroll, "preroll", "preroll");
  Tooltip(f, "Specifies the number of frames before the current frame that is used to produce the current frame's "
             "upscaled result.");
  SetFlags(f, Knob::EARLY_STORE);
  Bool_knob(f, &settings_.debugoutput, "debugoutput", "show preroll result");
  ClearFlags(f, Knob::STARTLINE);
  EndGroup(f);

  Tab_knob(f, "About");
  Divider(f);
  const long cuda_version = machine_->cuda_runtime_version();
  const long cudnn_version = machine_->cudnn_version();
  if (gpu_status_.native_compute_capability.empty())
    gpu_status_.native_compute_capability = fallback_native_capability(cuda_version);
  const std::string version_line = cuda_version_line(cuda_version, cudnn_version);
  const std::string native_line = native_support_line(cuda_version, gpu_status_.native_compute_capability);
  const std::string compatibility = compatibility_text(cuda_version, cudnn_version);
  Text_knob(f, version_line.c_str());
  SetFlags(f, Knob::STARTLINE);
  Text_knob(f, native_line.c_str());
  SetFlags(f, Knob::STARTLINE);
  if (!gpu_status_.gpu_compute_capability.empty()) {
    const std::string kernel_info =
      kernel_info_text(gpu_status_.native_compute_capability, gpu_status_.gpu_compute_capability);
    Named_Text_knob(f, "kernelInfo", "", kernel_info.c_str());
    SetFlags(f, Knob::STARTLINE);
  }
  Text_knob(f, " ");
  SetFlags(f, Knob::STARTLINE);
  Text_knob(f, compatibility.c_str());
  SetFlags(f, Knob::STARTLINE);
  Divider(f);
  Text_knob(f, "Magnifex v4.1.0");
  SetFlags(f, Knob::STARTLINE);
}
