// OpenEXR headers checked before the library reads them. Each header attribute declares its own
// size, and the library sets aside that many bytes before it reads one of them: a file of a few
// hundred bytes can make it take gigabytes. An attribute that declares more than the file holds
// is refused here instead.
#pragma once

#include <istream>
#include <string>

namespace render_command {

// What is impossible in the OpenEXR header(s) at the start of `file`, for a message after the
// file's name; empty when every attribute fits in the file, and for anything that is not an
// OpenEXR file or whose header is malformed otherwise (the library reports those itself).
std::string exrHeaderProblem(std::istream& file);

} // namespace render_command
