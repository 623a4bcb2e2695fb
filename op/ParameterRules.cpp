#include "op/ParameterRules.h"

#include <cstdio>

namespace magnifex {

std::optional<std::string> details_problem(float details)
{
  if (details >= 0.0f && details <= 1.0f)
    return std::nullopt;
  char text[128];
  std::snprintf(text, sizeof text, "details must lie between 0 and 1, not %g", double(details));
  return std::string(text);
}

std::optional<std::string> patch_size_problem(int max_size)
{
  if (max_size >= kMinPatchSize)
    return std::nullopt;
  return "max size must be at least " + std::to_string(kMinPatchSize) +
         " px (smaller patches see too little around them), not " + std::to_string(max_size);
}

} // namespace magnifex
