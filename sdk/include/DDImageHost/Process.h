// Host side only: process-wide host state.
#pragma once

#include <string>
#include <vector>

#include "DDImage/DDImage_API.h"

namespace DD {
namespace Image {
namespace host {

// Registers a loaded plug-in file, so that plugin_find() can return its full path.
DDImage_API void registerPluginFile(const std::string& path);

// Class names registered with Op::Description, sorted.
DDImage_API std::vector<std::string> registeredClasses();

// What Application::IsGUIActive() answers; false (a batch render) until set.
DDImage_API void setGUIActive(bool active);

// Makes the next `count` calls of Op::operator new give null, as a host allocator that ran out
// of memory does. 0 turns it off.
DDImage_API void failNextAllocations(int count);

} // namespace host
} // namespace Image
} // namespace DD
