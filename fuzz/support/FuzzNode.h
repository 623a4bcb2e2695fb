// "FuzzKnobs": an image op with a knob of every kind, for the targets that read scripts and knob
// values into a node. Its enumeration labels hold what scripts must quote or escape: blanks,
// quotes, brackets, braces, '#', a backslash, an empty label, one that reads as a number, UTF-8.
#pragma once

namespace magnifex_fuzz {

// The class name. Calling it also links the class's registration into the program.
const char* fuzzNodeClass();

} // namespace magnifex_fuzz
