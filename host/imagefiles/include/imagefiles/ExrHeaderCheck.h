// OpenEXR headers checked before the library reads them. The library trusts a header: it sets
// aside as many bytes as an attribute, or a length inside one, declares before it reads them, and
// it reads the types it knows by their own layout whatever size the file gives them, so that one
// damaged attribute puts the rest of the header out of step. A file of a few hundred bytes could
// make it take gigabytes. The headers are walked here first, the way the library reads them.
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "imagefiles/ImageLimits.h"

namespace render_command {

// What is impossible in the OpenEXR header(s) at the start of `file`, for a message after the
// file's name: an attribute that declares more than the file holds, or whose value is not what
// its type reads, or an image that cannot be held (imageSizeProblem), which the library would
// set aside line buffers for as it opens the file. Empty when all is well, and for anything that
// is not an OpenEXR file or is cut short (the library reports those itself).
std::string exrHeaderProblem(std::istream& file);

// The images the headers declare, one per part, as far as they can be read; windows a header
// leaves out are the library's default, 64 x 64 pixels at 0, 0.
std::vector<DeclaredImage> exrDeclaredImages(std::istream& file);

} // namespace render_command
