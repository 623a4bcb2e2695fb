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

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "DDImage/Format.h"
#include "DDImage/ImagePlane.h"
#include "imagefiles/PixelType.h"
#include "runtime/FileSequenceSource.h"

namespace render_command {

bool imageFilesAvailable();

struct ImageReadSettings {
  std::string colorSpace; // of the files; empty: Cineon for log DPX and Cineon files, else by their pixel type
  std::string part;       // of files with several parts (name or index); empty: they must have one
  // Which of a file's channels, by their host names in file order ("rgba.red", "other.N",
  // "layer.name"), the node is given; empty: every one. The host has slots for 63 channels (R, G,
  // B, A, Z and 58 more); channels the node is not given take none and can only be carried over
  // (readCarriedChannels), so files of any number of channels can be rendered.
  std::function<std::vector<bool>(const std::vector<std::string>& hostNames)> forNode;
};

// The file's channels that ImageReadSettings::forNode leaves out, as stored (data: no colour
// conversion), rows from the bottom of `box` as host images hold them.
struct CarriedChannels {
  std::vector<std::string> names; // as the file names them
  DD::Image::Box box{0, 0, 0, 0};
  std::vector<float> pixels; // the channels of a pixel side by side
};
CarriedChannels readCarriedChannels(const std::string& path, const ImageReadSettings& settings);

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

// A window in host coordinates (rows from the bottom), wide enough for scaled ones.
struct ImageWindow {
  long long x = 0, y = 0, w = 0, h = 0;
};
// Why the format of `path` cannot store an image of these display and data windows (OpenEXR
// refuses coordinates beyond +-2^30); empty when it can, or the format has no windows.
std::string imageWindowProblem(const std::string& path, const ImageWindow& display, const ImageWindow& data);

// What a written file could not hold as it was given.
struct WrittenImage {
  // Finite values beyond what the file's pixel type holds (half floats: from 65520 on, 65504 being
  // the largest), which the file holds as infinities.
  std::size_t overflowed = 0;
};

// The finite values a half-float file turns into infinities.
std::size_t valuesBeyondHalf(const std::vector<float>& pixels);

// Writes a rendered plane under a temporary name in the same folder and renames it over `path`
// once complete, so that a failure leaves no file and any older one untouched (HostError Output).
// `carried`: more channels after the plane's (their box the plane's).
WrittenImage writeImageFile(const std::string& path, const DD::Image::ImagePlane& plane,
                            const DD::Image::Format& format, const ImageWriteSettings& settings = {},
                            const CarriedChannels* carried = nullptr);

} // namespace render_command
