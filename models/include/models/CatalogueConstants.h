// The constants of models/ModelCatalogue.def (MAGNIFEX_CONSTANT rows), which the network tools read
// from the same lines (modelpack/codes.py), so the plug-in runs its networks as they were trained.
#pragma once

namespace magnifex::catalogue {

#define MAGNIFEX_MODEL(...)
#define MAGNIFEX_SIGNATURE(...)
#define MAGNIFEX_CONSTANT(name, value) inline constexpr int name = value;
#include "models/ModelCatalogue.def"
#undef MAGNIFEX_CONSTANT
#undef MAGNIFEX_SIGNATURE
#undef MAGNIFEX_MODEL

} // namespace magnifex::catalogue
