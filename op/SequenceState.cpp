// The preroll plan of the frame being validated: the requests and the sequence frame follow it.
#include "op/Magnifex.h"

#include "render/sequence/PrerollFrames.h"

using namespace magnifex;

void Magnifex::compute_preroll_frames(int frame)
{
  frame_.preroll_frames.clear();
  if (settings_.preroll < 1)
    return;
  PrerollPlan plan = compute_preroll_plan(frame, settings_.preroll, settings_.first_frame);
  frame_.preroll_frames = std::move(plan.frames);
  frame_.frame_to_input = std::move(plan.frame_to_input);
  frame_.input_context_count = plan.input_context_count;
}
