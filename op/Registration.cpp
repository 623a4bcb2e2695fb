// Announces the node class to the host when the plug-in file is loaded.
#include <new>

#include "op/Magnifex.h"

using namespace DD::Image;

namespace {

Iop* build(Node* node)
{
  void* storage = Op::operator new(sizeof(Magnifex));
  if (!storage)
    return nullptr;
  try {
    return ::new (storage) Magnifex(node);
  } catch (...) {
    Op::operator delete(storage);
    throw;
  }
}

const Op::Description description("Magnifex", "Brightwork/Magnifex", build);

} // namespace
