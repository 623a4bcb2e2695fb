#pragma once

#include "DDImage_API.h"

namespace DD {
namespace Image {

class DDImage_API Application {
public:
  // False in batch (command-line) renders.
  static bool IsGUIActive();
};

} // namespace Image
} // namespace DD
