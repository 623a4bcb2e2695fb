// Working networks that stand in for the loaded ones (tests, the benchmark), handed to the node
// when it is built, as an ArchiveSource hands it archives.
#pragma once

#include <optional>

#include "models/NetworkSet.h"

namespace magnifex {

struct ScriptedNetworks {
  std::optional<torch::jit::Module> still, flow, sequence, sequence_rgb;

  // Each network given replaces its working network; the node does this after every open that
  // left the networks ready, so a reload cannot bring the loaded ones back.
  void apply(NetworkSet& set) const
  {
    for (const auto& [scripted, working] :
         {std::pair{&still, &set.still_net}, std::pair{&flow, &set.flow_net}, std::pair{&sequence, &set.sequence_net},
          std::pair{&sequence_rgb, &set.sequence_rgb_net}})
      if (*scripted)
        *working = **scripted;
  }
};

} // namespace magnifex
