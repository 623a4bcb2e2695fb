// The sequence state the op carries between renders: what is kept and what is thrown away.
#include "op/Magnifex.h"

#include "render/sequence/PrerollFrames.h"

using namespace magnifex;

void Magnifex::reset_sequence_state()
{
  state_saved.clear();
  hr_prevs.clear();
  hr_prevBs.clear();
  saved_previous_fullres.clear();
  saved_channel_sets.clear();
}

void Magnifex::compute_preroll_frames(int frame)
{
  preroll_frames.clear();
  if (preroll < 1)
    return;
  PrerollPlan plan = compute_preroll_plan(frame, preroll, first_frame);
  preroll_frames = std::move(plan.frames);
  frame_to_input = std::move(plan.frame_to_input);
  input_context_count = plan.input_context_count;
}
