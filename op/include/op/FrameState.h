// What the node works out as the host validates and renders it: the input's frame range and size,
// the input contexts of the preroll, the output format, and the renders since the last open.
#pragma once

#include <map>
#include <vector>

#include "DDImage/Format.h"

namespace magnifex {

struct FrameState {
  int input_first_frame = 0;
  int input_last_frame = 0;
  // Input contexts of input 0 in use, and which one shows which frame (the current frame: 0).
  int input_context_count = 1;
  std::map<int, int> frame_to_input{{0, 0}};
  std::vector<int> preroll_frames; // the order the preroll runs them
  int render_count = 0;            // renders since the last open; each keeps its own sequence state
  int input_width = 0, input_height = 0;
  DD::Image::Format output_format;
  int use_alpha = 0; // four channels processed (sequence mode, CG and hybrid)

  FrameState() { output_format.set(0, 0, 1, 1); }
};

} // namespace magnifex
