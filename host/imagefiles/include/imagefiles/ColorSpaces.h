// Colour spaces of image files. Renders work in scene-linear light, as a compositing host does:
// a file is linearised when read and encoded back when written, through OpenImageIO's colour
// machinery (the OpenColorIO configuration named by $OCIO when it is set, else OpenImageIO's own
// "linear", "sRGB" and "Rec709").
#pragma once

#include <string>
#include <vector>

namespace render_command {

// The name that always means the working space itself: no conversion.
extern const char* const kLinearColorSpace;

// Kodak Cineon printing density (reference black at code 95, white at 685 of 1023, film gamma
// 0.6), as the host reads log DPX and Cineon files by default.
extern const char* const kCineonColorSpace;

// The space a file is taken to be in when nobody says otherwise, as read and write nodes choose
// by default: float and half files hold linear light, 8- and 16-bit integer files sRGB.
std::string defaultColorSpace(bool floatPixels);

// The values of Cineon code values (0..1 for codes 0..1023) in linear light, and back.
float cineonToLinear(float code);
float linearToCineon(float linear);

// Whether pixels can be converted between `name` and the working space.
bool isKnownColorSpace(const std::string& name);
// The names the configuration lists, for messages and help.
std::vector<std::string> colorSpaceNames();

// The channels colour conversions act on, by their names in the file: the index of R (or of Y,
// the grey of a luminance file, when there is no R), of G and of B, -1 for each that is absent.
// Alpha, depth and other channels are data and stay as they are.
struct ColorChannels {
  int slot[3] = {-1, -1, -1};
  bool empty() const { return slot[0] < 0 && slot[1] < 0 && slot[2] < 0; }
};
ColorChannels colorChannelsOf(const std::vector<std::string>& fileChannelNames);

// Converts the colour channels of `pixelCount` pixels of `channelCount` floats each between two
// spaces (std::runtime_error when no conversion between them exists). A missing slot is fed the
// value of the first present one, so grey stays grey.
void convertColorSpace(float* pixels, std::size_t pixelCount, int channelCount, const ColorChannels& channels,
                       const std::string& from, const std::string& to);

} // namespace render_command
