// Runs the plug-in's sequence-mode tensor steps on tensors a test hands over, so that the training
// code's copies of them can be compared with the real ones:
//   magnifex_plugin_ops IN OUT
// IN is a dictionary saved by Python's torch.save with "image" [N, C, H, W], "flow" [N, 2, H, W],
// "lr_flow" [N, 2, h, w], "patch" [1, C, h, w], "rgba" [1, 4, h, w] and "scale" (a one-element
// tensor); OUT gets a dictionary of each step's result under the training code's names.
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include <torch/csrc/jit/serialization/pickle.h>

#include "render/LogEncoding.h"
#include "render/sequence/AlphaMaterial.h"
#include "render/sequence/FlowPadding.h"
#include "render/sequence/FlowWarp.h"

namespace {

std::vector<char> read_all(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

int main(int argc, char** argv)
{
  if (argc != 3) {
    std::cerr << "usage: magnifex_plugin_ops IN OUT\n";
    return 2;
  }
  try {
    const c10::Dict<c10::IValue, c10::IValue> in = torch::jit::pickle_load(read_all(argv[1])).toGenericDict();
    const auto get = [&](const char* key) { return in.at(key).toTensor(); };
    const int s = int(get("scale").item<int64_t>());
    const at::Tensor patch = get("patch");
    const int h = int(patch.size(2)), w = int(patch.size(3));
    const magnifex::FlowPadding padding = magnifex::flow_padding(h, w);

    c10::Dict<std::string, at::Tensor> out;
    out.insert("upscale_flow", magnifex::upscale_flow(get("lr_flow"), s));
    out.insert("warp_by_flow", magnifex::warp_by_flow(get("image"), get("flow")));
    out.insert("space_to_depth", magnifex::space_to_depth(get("image"), s));
    out.insert("pad_for_flow", magnifex::pad_for_flow(patch, padding));
    out.insert("log_encode", magnifex::logEncode(patch));
    out.insert("prepare_alpha_input", magnifex::prepare_alpha_input(get("rgba")));
    out.insert("colour_variant", magnifex::colour_variant(magnifex::prepare_alpha_input(get("rgba"))));
    out.insert("recombine_alpha", magnifex::recombine_alpha(get("rgba"), get("rgba")));

    const std::vector<char> bytes = torch::jit::pickle_save(c10::IValue(out));
    std::ofstream file(argv[2], std::ios::binary);
    file.write(bytes.data(), std::streamsize(bytes.size()));
    if (!file)
      throw std::runtime_error(std::string("cannot write ") + argv[2]);
  } catch (const std::exception& e) {
    std::cerr << "magnifex_plugin_ops: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
