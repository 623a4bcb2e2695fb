#pragma once

#include "DDImage_API.h"

namespace DD {
namespace Image {

// Channel numbers. The first four are fixed; others are made on demand by getChannel().
enum Channel {
  Chan_Black = 0,
  Chan_Red = 1,
  Chan_Green = 2,
  Chan_Blue = 3,
  Chan_Alpha = 4,
  Chan_Z = 5,
  Chan_Last = 63
};

// Full name of a channel, "layer.channel" ("rgba.red", "depth.Z", ...).
DDImage_API const char* getName(Channel c);
// The channel of that full name, made if it does not exist yet (Chan_Black when out of slots).
DDImage_API Channel getChannel(const char* name);

} // namespace Image
} // namespace DD
