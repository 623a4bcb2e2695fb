// The process-wide debug stream: diagnostics on standard output, one flushed line at a time.
#pragma once

#include <ostream>
#include <string>

#include "render/DebugText.h"

namespace magnifex {

std::ostream& debug_stream();

// Writes text, a newline, and flushes, so lines from a crashing render still reach the log.
void debug_line(const std::string& text);

} // namespace magnifex
