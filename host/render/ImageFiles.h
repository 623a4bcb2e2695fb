// Image files for magnifex-render, through OpenImageIO when built with it.
//
// Files count rows from the top, the host from the bottom: a file's display window becomes the
// format and its data window the bounding box, flipped within the display window, so that
// offsets survive a round trip. Channel names R, G, B, A, Z map to rgba.* and depth.Z, other
// names without a layer to other.<name> and back; "layer.name" is used as it is.
//
// Pixels are scene-linear inside (see ColorSpaces.h): files are linearised when read and
// encoded back when written, each in its own colour space.
#pragma once

#include <optional>
#include <string>

#include "DDImage/Format.h"
#include "DDImage/ImagePlane.h"
#include "render/PixelType.h"
#include "runtime/FileSequenceSource.h"

namespace render_command {

bool imageFilesAvailable();

struct ImageReadSettings {
  std::string colorSpace; // of the files; empty: Cineon for log DPX and Cineon files, else by their pixel type
  std::string part;       // of files with several parts (name or index); empty: they must have one
};

// HostError Input when the program was built without image files.
host_runtime::ImageFileReader imageFileReader(const ImageReadSettings& settings = {});

struct ImageWriteSettings {
  // An input file the output follows: its pixel type (unless `pixelType` says otherwise) and its
  // metadata, where the output format can hold them. Empty: float pixels, no metadata.
  std::string templateFile;
  std::string templatePart; // as ImageReadSettings::part
  std::optional<PixelType> pixelType;
  std::string colorSpace; // of the file; empty: by the pixel type the format writes
};

// Why no image can be written to `path` (no format is known for its extension); empty when one can.
std::string imageOutputProblem(const std::string& path);

// Writes a rendered plane under a temporary name in the same folder and renames it over `path`
// once complete, so that a failure leaves no file and any older one untouched (HostError Output).
void writeImageFile(const std::string& path, const DD::Image::ImagePlane& plane, const DD::Image::Format& format,
                    const ImageWriteSettings& settings = {});

} // namespace render_command
