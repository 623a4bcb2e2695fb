#include "render/sequence/PrerollFrames.h"

#include <algorithm>

namespace magnifex {

PrerollPlan compute_preroll_plan(int F, int P, int FF)
{
  PrerollPlan plan;
  plan.lo = plan.hi = F;
  plan.frame_to_input[F] = 0;
  if (P < 1)
    return plan;

  auto push = [&](int f) {
    plan.frames.push_back(f);
    plan.lo = std::min(plan.lo, f);
    plan.hi = std::max(plan.hi, f);
  };

  int count;
  if (F == FF) {
    // At the start of the material the following frames, run backwards, stand in for the past.
    for (int f = FF + P; f >= FF + 1; --f)
      push(f);
    count = P;
  } else if (F - P >= FF) {
    for (int f = F - P; f <= F - 1; ++f)
      push(f);
    count = P;
  } else {
    // Too few frames before F: reflect at the first frame.
    const int k = F - FF;
    for (int f = FF + P - k; f >= FF; --f)
      push(f);
    for (int f = FF + 1; f <= F - 1; ++f)
      push(f);
    count = plan.hi - plan.lo;
  }
  plan.input_context_count = count + 1;

  int context = 1;
  for (int f = plan.lo; f <= plan.hi; ++f)
    if (f != F)
      plan.frame_to_input[f] = context++;
  return plan;
}

int preroll_context_frame(int F, int P, int FF, int offset)
{
  if (offset == 0 || P <= 0)
    return F;
  const PrerollPlan plan = compute_preroll_plan(F, P, FF);
  int number = 0;
  for (int f = plan.lo; f <= plan.hi; ++f) {
    if (f == F)
      continue;
    if (++number == offset)
      return f;
  }
  return F;
}

bool sequence_state_continues(int last_rendered_frame, int frame)
{
  return last_rendered_frame == frame - 1;
}

} // namespace magnifex
