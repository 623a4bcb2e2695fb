// Image files for magnifex-render, through OpenImageIO when built with it.
//
// Files count rows from the top, the host from the bottom: a file's display window becomes the
// format and its data window the bounding box, flipped within the display window, so that
// offsets survive a round trip. Channel names R, G, B, A, Z map to rgba.* and depth.Z; others
// ("layer.name") are used as they are.
#pragma once

#include <string>

#include "DDImage/Format.h"
#include "DDImage/ImagePlane.h"
#include "runtime/FileSequenceSource.h"

namespace render_command {

bool imageFilesAvailable();

// HostError Input when the program was built without image files.
host_runtime::ImageFileReader imageFileReader();

// Writes a rendered plane (HostError Output on failure).
void writeImageFile(const std::string& path, const DD::Image::ImagePlane& plane, const DD::Image::Format& format);

} // namespace render_command
