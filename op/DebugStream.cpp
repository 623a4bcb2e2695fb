#include "op/DebugStream.h"

#include <iostream>

namespace magnifex {

std::ostream& debug_stream()
{
  return std::cout;
}

void debug_line(const std::string& text)
{
  std::ostream& os = debug_stream();
  os << text << '\n';
  os.flush();
}

} // namespace magnifex
