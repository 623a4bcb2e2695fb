// Parameter-name signatures that tell a loaded archive is the network it claims to be.
#pragma once

#include <cstddef>
#include <string_view>

#include "models/ModelLibrary.h"

namespace torch::jit {
struct Module;
}

namespace magnifex {

struct NetworkSignature {
  std::size_t count;      // entries of named_parameters(true)
  std::string_view first; // name at index 0
  std::size_t middle_index;
  std::string_view middle; // name at middle_index
  std::string_view last;   // name of the last entry, whatever the list's length
};

const NetworkSignature& still_signature(); // both scales
const NetworkSignature& flow_signature();
// The sequence signature of a scale factor: 70 entries at 2, 72 otherwise.
const NetworkSignature& sequence_signature(int scale_factor);

// The signature an archive handed out under `code` must meet (the still CG ones too).
const NetworkSignature& signature_for(ModelCode code);

// One pass over module.named_parameters(true): the count and the three names must match exactly.
bool matches_signature(const torch::jit::Module& module, const NetworkSignature& signature);

} // namespace magnifex
