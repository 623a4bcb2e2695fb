// Which earlier frames build up the sequence state, in which order, and from which input context.
#pragma once

#include <map>
#include <vector>

namespace magnifex {

// The most preroll frames a render runs (and input contexts beyond the current frame it asks for).
// Larger `preroll` values are refused by validation.
constexpr int kMaxPreroll = 100;

struct PrerollPlan {
  std::vector<int> frames;           // processing order; a frame may repeat
  std::map<int, int> frame_to_input; // frame -> input context; the current frame is context 0
  int input_context_count = 1;
  int lo = 0, hi = 0; // smallest and largest frame of the window, F included
};

// The preroll of frame F with P preroll frames for material starting at first_frame.
// P < 1, and a frame before first_frame (never rendered), give no frames, the current frame alone,
// and one context. Linear in P, which counts at most kMaxPreroll; frames past the largest frame
// number are left out.
PrerollPlan compute_preroll_plan(int F, int P, int first_frame);

// The frame that input context `offset` of frame F shows; the current frame for offset 0 and
// for offsets past the window.
int preroll_context_frame(int F, int P, int first_frame, int offset);

// Only the next consecutive frame continues a saved run of sequence state.
bool sequence_state_continues(int last_rendered_frame, int frame);

} // namespace magnifex
