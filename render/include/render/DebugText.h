// Debug lines built from pieces, for the pipeline and the node alike.
#pragma once

#include <sstream>
#include <string>

namespace magnifex {

// Builds a line from pieces: cat("a", 1, "b") is "a1b".
template <typename... Pieces>
std::string cat(const Pieces&... pieces)
{
  std::ostringstream os;
  (os << ... << pieces);
  return os.str();
}

} // namespace magnifex
