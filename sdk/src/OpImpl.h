// The state the host keeps for every op; private to the runtime library.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DDImage/Box.h"
#include "DDImage/ChannelSet.h"
#include "DDImage/Knob.h"
#include "DDImage/OutputContext.h"

namespace DD {
namespace Image {

class Node;
class Op;

struct OpImpl {
  Node* node = nullptr;
  OutputContext context;

  std::vector<std::vector<Op*>> inputsBySplit; // [input][split context]
  std::vector<Op*> flatInputs;                 // the same, one after another

  std::vector<std::unique_ptr<Knob>> knobs; // declaration order

  bool valid = false;
  bool openSinceValidate = false;
  bool needsClose = false;

  std::atomic<bool> failed{false};
  std::atomic<bool> abortRequested{false};
  mutable std::mutex errorMutex;
  std::string errorText;

  // What the ops downstream asked of this (image) op since its last validation.
  bool hasRequest = false;
  Box requestedBox{0, 0, 0, 0};
  ChannelSet requestedChannels;
  int requestCount = 0;
};

// Set by host::requestAbortAll(); lock-free so a signal handler may set it.
extern std::atomic<bool> g_abortAll;

} // namespace Image
} // namespace DD
