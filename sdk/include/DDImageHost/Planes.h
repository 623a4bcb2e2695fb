// Host side only: what the host learns about a plane it handed to an op.
#pragma once

#include "DDImage/DDImage_API.h"
#include "DDImage/ImagePlane.h"

namespace DD {
namespace Image {
namespace host {

// Whether the plane's pixels were given out for writing (ImagePlane::writable() or writableAt())
// since its storage was made. An op that returns from a render without touching its plane
// rendered nothing for it: the host must not take the plane's zeros for a picture. Copies of a
// plane share the answer with it until one of them is made unique.
DDImage_API bool wasWritten(const ImagePlane& plane);

} // namespace host
} // namespace Image
} // namespace DD
