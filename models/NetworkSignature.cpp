#include "models/NetworkSignature.h"

#include <torch/csrc/jit/api/module.h>

namespace magnifex {

namespace {

const NetworkSignature kStillSignature{702, "conv_first.weight", 100, "body.3.rdb1.conv5.weight",
                                       "conv_last.bias"};
const NetworkSignature kFlowSignature{128, "fnet.conv1.weight", 10, "fnet.layer2.0.conv1.weight",
                                      "update_block.mask.2.bias"};
const NetworkSignature kSequence2xSignature{70, "conv_in.0.weight", 10, "resblocks.2.conv.0.weight",
                                            "conv_out.bias"};
const NetworkSignature kSequence4xSignature{72, "conv_in.0.weight", 10, "resblocks.2.conv.0.weight",
                                            "conv_out.bias"};

}  // namespace

const NetworkSignature& still_signature() { return kStillSignature; }
const NetworkSignature& flow_signature() { return kFlowSignature; }

const NetworkSignature& sequence_signature(int scale_factor) {
  return scale_factor == 2 ? kSequence2xSignature : kSequence4xSignature;
}

const NetworkSignature& signature_for(ModelCode code) {
  if (code == ModelCode::kFLWN) return flow_signature();
  const std::string_view name = model_code_name(code);
  if (name.find("sr") != std::string_view::npos) return sequence_signature(name[0] == '2' ? 2 : 4);
  return still_signature();
}

bool matches_signature(const torch::jit::Module& module, const NetworkSignature& signature) {
  // The list is walked once; only the count and three names are kept.
  std::size_t count = 0;
  bool first_ok = false;
  bool middle_ok = false;
  std::string last;
  for (const auto& parameter : module.named_parameters(true)) {
    if (count == 0) first_ok = parameter.name == signature.first;
    if (count == signature.middle_index) middle_ok = parameter.name == signature.middle;
    last = parameter.name;
    ++count;
  }
  return count == signature.count && first_ok && middle_ok && last == signature.last;
}

}  // namespace magnifex
