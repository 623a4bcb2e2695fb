#pragma once

#include "DDImage_API.h"

namespace DD {
namespace Image {

// Full path of a loaded plug-in file of that name, or null. `extensions` may be null.
DDImage_API const char* plugin_find(const char* name, const char* const* extensions = nullptr);

} // namespace Image
} // namespace DD
