#include "op/FormatRules.h"

#include <algorithm>
#include <cmath>

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

namespace {

// Patches along one side, as the patch grid counts them; 0 when undefined.
int patches_along(int extent, int max_size, int ovc)
{
  const int step = max_size <= extent ? max_size - ovc : extent;
  if (extent < 1 || step < 1)
    return 0;
  return static_cast<int>(std::ceil(static_cast<float>(extent) / static_cast<float>(step)));
}

} // namespace

std::string patch_count_text(int W, int H, int max_size, int overlap, bool multisample_on, bool still_mode)
{
  const int ovc = std::min(std::max(overlap, 0), max_size / 3);
  const int columns = patches_along(W, max_size, ovc);
  const int rows = patches_along(H, max_size, ovc);
  if (columns == 0 || rows == 0)
    return "Image patches: -";
  const std::string grid = std::to_string(columns) + " x " + std::to_string(rows);
  if (multisample_on && still_mode)
    return "Image patches: " + std::to_string(4 * columns * rows) + " (" + grid + " * 4)";
  return "Image patches: " + std::to_string(columns * rows) + " (" + grid + ")";
}

} // namespace magnifex
