// The values the node's knobs are bound to, as saved scripts store them, and what the render reads
// of them. The host writes the fields directly; the enumeration knobs are read through the
// conversions below, never as raw integers.
#pragma once

#include "op/KnobEntries.h"

namespace magnifex {

struct NodeSettings {
  // GPU settings
  int cuda_deviceid = 0;
  bool use_gpu = true;
  bool gpu_render_override = true;
  bool mixedprecision = true;
  bool use_bfloat16 = true;
  // Upscale
  int mode = 0;  // still, sequence
  int scale = 1; // 2x, 4x
  int type = 0;  // plates, CG, hybrid
  float details = 0.9f;
  int max_size = 500;
  int overlap = 32;
  int padding = 8;
  bool multisample = false;
  // Sequence mode
  int first_frame = -999999; // unset until the input's range fills it
  int last_frame = -999999;
  int preroll = 5;
  bool debugoutput = false;
  // Diagnostics
  bool debug = false;
  int debug_patch = -1;
  // Always on; no knob sets them: the alpha paths clamp negative colour and divide by alpha before
  // encoding.
  static constexpr bool unpremultiply = true;
  static constexpr bool clamp_colour = true;

  RenderMode render_mode() const { return render_mode_of(mode); }
  Material material() const { return material_of(type); }
  int scale_factor() const { return magnifex::scale_factor(scale); }
};

} // namespace magnifex
