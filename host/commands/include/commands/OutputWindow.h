// Where an output file's display window lies.
#pragma once

#include "DDImage/Format.h"

namespace render_command {

// The node's format (it starts at 0, 0, as the host's formats do) moved to where the input's
// display window lies, times the node's scale: the output's windows are then the input's times the
// scale wherever they stand, and a display window away from 0, 0 still frames the data. The node's
// format itself when it is not a whole multiple of the input's, or the moved one would not fit the
// host's integer coordinates.
DD::Image::Format placedOutputFormat(const DD::Image::Format& nodeFormat, const DD::Image::Format& inputFormat);

} // namespace render_command
