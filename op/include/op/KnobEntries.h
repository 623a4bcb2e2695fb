// The node's enumeration knobs as the render code reads them. Saved scripts store the entry's
// index, so the conversions are from those integers, done in one place.
#pragma once

#include "render/Material.h"

namespace magnifex {

enum class RenderMode { Still, Sequence };

// The `mode` knob: 1 sequence, anything else still.
inline RenderMode render_mode_of(int mode_knob)
{
  return mode_knob == 1 ? RenderMode::Sequence : RenderMode::Still;
}

// The `type` knob: 0 plates, 1 CG, 2 Hybrid.
inline Material material_of(int type_knob)
{
  return type_knob == 1 ? Material::CG : type_knob == 2 ? Material::Hybrid : Material::Plates;
}

// The `scale` knob: 4 for the "4x" entry (1), 2 otherwise.
inline int scale_factor(int scale_knob)
{
  return scale_knob == 1 ? 4 : 2;
}

} // namespace magnifex
