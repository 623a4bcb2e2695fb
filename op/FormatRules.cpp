#include "op/FormatRules.h"

#include <algorithm>

#include "render/PatchGrid.h"

namespace magnifex {

int scale_factor(int scale_knob)
{
  return scale_knob == 1 ? 4 : 2;
}

int divide_toward_zero(int value, int divisor)
{
  return value / divisor; // C++ integer division already truncates toward zero
}

int processing_alpha(int mode_knob, int type_knob)
{
  return (mode_knob != 0 && (type_knob == 1 || type_knob == 2)) ? 1 : 0;
}

int input_split_count(int mode_knob, int preroll)
{
  if (mode_knob == 0)
    return 1;
  // A negative preroll would ask the host for no context at all.
  return std::max(preroll + 1, 1);
}

std::string patch_count_text(int W, int H, int max_size, int overlap, bool multisample_on, bool still_mode)
{
  const bool four_passes = multisample_on && still_mode;
  const std::optional<PatchGrid> grid = compute_patch_grid(W, H, max_size, overlap, 0, four_passes);
  return grid ? grid_count_text("Image patches: ", *grid, four_passes) : "Image patches: -";
}

} // namespace magnifex
