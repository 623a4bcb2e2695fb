// Pixel types an output file may be asked for (--output-type).
#pragma once

namespace render_command {

enum class PixelType { UInt8, UInt16, Half, Float };

} // namespace render_command
