// Files cut short, found from what their headers declare. Some readers (DPX at 10 and 12 bits)
// fill what a cut-short file lacks without a word, others fail without a reason, and PNG's stops
// once it has the pixels: the length a header declares, and the length its pixels need, are
// compared with the file's own first.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

namespace render_command {

// For a DPX or Cineon file of `length` bytes: "cut short: ..." when it holds fewer bytes than its
// header declares or its first image element needs; for a PNG, when its IEND chunk is missing.
// Empty when all is well and for other kinds of file, and for headers too damaged to say (the
// reader reports those).
std::string cutShortProblem(std::istream& file, std::uint64_t length);

} // namespace render_command
