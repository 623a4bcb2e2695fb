// Still mode: one frame upscaled in cross-faded patches, written into the plane as they finish.
#pragma once

#include "DDImage/ImagePlane.h"
#include "op/RenderRun.h"

namespace magnifex {

// Renders input 0 into the plane; a node error, or nothing, when it cannot.
void render_still(const RenderRun& run, DD::Image::ImagePlane& plane);

} // namespace magnifex
