// Sequence mode: the state a sequence carries from render to render, the preroll plan it starts
// from, and the render of one frame.
#pragma once

#include "DDImage/ImagePlane.h"
#include "op/FrameState.h"
#include "op/NodeSettings.h"
#include "render/sequence/SequenceMemory.h"

namespace magnifex {

struct RenderRun;

class SequenceRender {
public:
  // Before frame `frame` is rendered: a state it does not continue is forgot, and a sequence that
  // starts afresh plans its preroll into the frame state.
  void validate(int frame, const NodeSettings& settings, FrameState& state);
  // Renders the output context's frame into the plane; a node error, or nothing, when it cannot.
  void render(const RenderRun& run, DD::Image::ImagePlane& plane);

  const SequenceMemory& memory() const { return memory_; }
  // Forgets the saved state (the benchmark renders one frame again and again from nothing).
  void reset() { memory_.reset(); }
  // Drops the state's last references to device memory.
  void release() { memory_.release(); }

private:
  void plan_preroll(int frame, const NodeSettings& settings, FrameState& state) const;

  SequenceMemory memory_;
};

} // namespace magnifex
