// What one renderStripe call hands the mode that renders it: the node it reports through, the
// knobs, the networks and the device.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <ATen/core/Tensor.h>
#include <c10/core/Device.h>
#include <torch/csrc/jit/api/module.h>

#include "DDImage/Iop.h"
#include "op/FrameState.h"
#include "op/NodeSettings.h"
#include "op/RunNetwork.h"
#include "render/RenderHooks.h"

namespace magnifex {

class NetworkSet;

struct RenderRun {
  DD::Image::Iop& node;
  const NodeSettings& settings;
  FrameState& frame;
  NetworkSet& networks;
  PassPrecision precision;
  c10::Device device;
  bool gpu_in_use;
  std::chrono::steady_clock::time_point start;

  // Progress and aborts of the node, and its debug stream while debug output is on.
  RenderHooks hooks() const;
  // The exception's text (and the stage) to the debug stream; the stage, or `node_text` where
  // given, to the node.
  void report_failure(const char* stage, const std::string& what, const char* node_text = nullptr) const;
  // One pass of a working network under the precision rule.
  at::Tensor pass(const torch::jit::Module& net, std::vector<c10::IValue> inputs) const
  {
    return run_network(precision, net, std::move(inputs), gpu_in_use);
  }
  // The bookkeeping of a completed render: render_count, the autocast cache, the total time.
  void finish() const;
};

} // namespace magnifex
