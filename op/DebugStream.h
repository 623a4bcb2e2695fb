// The process-wide debug stream: diagnostics on standard output, one flushed line at a time.
#pragma once

#include <ostream>
#include <sstream>
#include <string>

namespace magnifex {

std::ostream& debug_stream();

// Writes text, a newline, and flushes, so lines from a crashing render still reach the log.
void debug_line(const std::string& text);

// Builds a line from pieces: debug_line(cat("a", 1, "b")).
template <typename... Pieces>
std::string cat(const Pieces&... pieces)
{
  std::ostringstream os;
  (os << ... << pieces);
  return os.str();
}

} // namespace magnifex
