#include "render/sequence/PrerollFrames.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace magnifex {

namespace {

constexpr std::int64_t kLargestFrame = std::numeric_limits<int>::max();

// The smallest and largest frame the preroll of F touches, F included. Frames past the largest frame
// number cannot exist and are left out; frames before the material's start get no preroll, since
// they are never rendered.
std::pair<std::int64_t, std::int64_t> preroll_window(std::int64_t F, std::int64_t P, std::int64_t FF)
{
  if (P < 1 || F < FF)
    return {F, F};
  P = std::min<std::int64_t>(P, kMaxPreroll);
  if (F == FF)
    return {F, std::min(F + P, kLargestFrame)};
  if (F - P >= FF)
    return {F - P, F};
  return {FF, std::max(F, std::min(FF + P - (F - FF), kLargestFrame))};
}

} // namespace

PrerollPlan compute_preroll_plan(int F, int P, int FF)
{
  PrerollPlan plan;
  plan.lo = plan.hi = F;
  plan.frame_to_input[F] = 0;
  const auto [lo, hi] = preroll_window(F, P, FF);
  if (lo == hi)
    return plan;
  P = std::min(P, kMaxPreroll);

  auto push = [&](std::int64_t f) {
    if (f <= kLargestFrame)
      plan.frames.push_back(int(f));
  };
  if (F == FF) {
    // At the start of the material the following frames, run backwards, stand in for the past.
    for (std::int64_t f = std::int64_t(FF) + P; f >= std::int64_t(FF) + 1; --f)
      push(f);
  } else if (std::int64_t(F) - P >= FF) {
    for (std::int64_t f = std::int64_t(F) - P; f <= std::int64_t(F) - 1; ++f)
      push(f);
  } else {
    // Too few frames before F: reflect at the first frame.
    const std::int64_t k = std::int64_t(F) - FF;
    for (std::int64_t f = std::int64_t(FF) + P - k; f >= FF; --f)
      push(f);
    for (std::int64_t f = std::int64_t(FF) + 1; f <= std::int64_t(F) - 1; ++f)
      push(f);
  }
  plan.lo = int(lo);
  plan.hi = int(hi);
  plan.input_context_count = int(hi - lo) + 1;

  int context = 1;
  for (std::int64_t f = lo; f <= hi; ++f)
    if (f != F)
      plan.frame_to_input[int(f)] = context++;
  return plan;
}

int preroll_context_frame(int F, int P, int FF, int offset)
{
  const auto [lo, hi] = preroll_window(F, P, FF);
  if (offset < 1)
    return F;
  // Contexts count the window's frames in ascending order, the current frame left out.
  std::int64_t frame = lo + offset - 1;
  if (frame >= F)
    ++frame;
  return frame > hi ? F : int(frame);
}

bool sequence_state_continues(int last_rendered_frame, int frame)
{
  return std::int64_t(last_rendered_frame) == std::int64_t(frame) - 1;
}

} // namespace magnifex
