// Node scripts (readNodeScript) read into a FuzzKnobs node. A refused script must leave the node
// as it was; a script that is read must write back to a script that reads into the same node.
#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/HostError.h"
#include "runtime/HostNode.h"
#include "runtime/NodeScript.h"
#include "support/FuzzCheck.h"
#include "support/FuzzNode.h"

using namespace host_runtime;
using magnifex_fuzz::expect;
using magnifex_fuzz::fuzzNodeClass;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::string text(reinterpret_cast<const char*>(data), size);
  auto node = HostNode::create(fuzzNodeClass(), "Fuzz1");
  const std::string before = writeNodeScript(*node);
  try {
    readNodeScript(*node, text, "fuzz");
  } catch (const HostError&) {
    expect(writeNodeScript(*node) == before, "a refused script changed the node");
    return 0;
  }
  const std::string written = writeNodeScript(*node);
  auto copy = HostNode::create(fuzzNodeClass(), "Fuzz2");
  try {
    readNodeScript(*copy, written, "written");
  } catch (const HostError& e) {
    magnifex_fuzz::fail("the script written after reading is refused: " + std::string(e.what()) + "\n" + written);
  }
  expect(writeNodeScript(*copy) == written, "a written script reads back as another");
  return 0;
}
