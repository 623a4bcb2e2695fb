#include "models/NetworkSignature.h"

#include <stdexcept>

#include <torch/csrc/jit/api/module.h>

namespace magnifex {

namespace {

struct FamilySignature {
  ModelFamily family;
  int scale;
  NetworkSignature signature;
};

constexpr FamilySignature kSignatures[] = {
#define MAGNIFEX_MODEL(...)
#define MAGNIFEX_SIGNATURE(family, scale, count, first, middle_index, middle, last)                                    \
  {ModelFamily::family, scale, {count, first, middle_index, middle, last}},
#define MAGNIFEX_CONSTANT(...)
#include "models/ModelCatalogue.def"
#undef MAGNIFEX_CONSTANT
#undef MAGNIFEX_SIGNATURE
#undef MAGNIFEX_MODEL
};

const NetworkSignature& signature_of(ModelFamily family, int scale)
{
  for (const FamilySignature& s : kSignatures)
    if (s.family == family && s.scale == scale)
      return s.signature;
  throw std::logic_error("the model catalogue has no signature for this family and scale");
}

} // namespace

const NetworkSignature& still_signature()
{
  return signature_of(ModelFamily::still, 4);
}
const NetworkSignature& flow_signature()
{
  return signature_of(ModelFamily::flow, 0);
}

const NetworkSignature& sequence_signature(int scale_factor)
{
  return signature_of(ModelFamily::sequence, scale_factor == 2 ? 2 : 4);
}

const NetworkSignature& signature_for(ModelCode code)
{
  const ModelInfo info = model_info(code);
  return signature_of(info.family, info.scale);
}

bool matches_signature(const torch::jit::Module& module, const NetworkSignature& signature)
{
  // The list is walked once; only the count and three names are kept.
  std::size_t count = 0;
  bool first_ok = false;
  bool middle_ok = false;
  std::string last;
  for (const auto& parameter : module.named_parameters(true)) {
    if (count == 0)
      first_ok = parameter.name == signature.first;
    if (count == signature.middle_index)
      middle_ok = parameter.name == signature.middle;
    last = parameter.name;
    ++count;
  }
  return count == signature.count && first_ok && middle_ok && last == signature.last;
}

} // namespace magnifex
