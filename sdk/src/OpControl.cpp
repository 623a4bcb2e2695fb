#include "DDImageHost/OpControl.h"

#include "DDImage/Op.h"
#include "DDImageHost/Events.h"
#include "OpImpl.h"

namespace DD {
namespace Image {
namespace host {

void setOutputContext(Op& op, const OutputContext& context)
{
  op.impl()->context = context;
}

void connectInputs(Op& op, const std::vector<std::vector<Op*>>& contextsPerInput)
{
  OpImpl& state = *op.impl();
  state.inputsBySplit = contextsPerInput;
  state.flatInputs.clear();
  for (const auto& splits : contextsPerInput)
    state.flatInputs.insert(state.flatInputs.end(), splits.begin(), splits.end());
}

void beginRender(Op& op)
{
  OpImpl& state = *op.impl();
  {
    std::lock_guard<std::mutex> lock(state.errorMutex);
    state.errorText.clear();
  }
  state.failed = false;
  state.abortRequested = false;
}

void requestAbort(Op& op)
{
  op.impl()->abortRequested = true;
  if (hasEventListeners())
    emit(Event("abort_requested", &op));
}

void requestAbortAll() noexcept
{
  g_abortAll.store(true);
}

void clearAbortAll()
{
  g_abortAll.store(false);
}

bool hasError(const Op& op)
{
  return op.impl()->failed;
}

std::string errorText(const Op& op)
{
  std::lock_guard<std::mutex> lock(op.impl()->errorMutex);
  return op.impl()->errorText;
}

bool isOpen(const Op& op)
{
  return op.impl()->needsClose;
}

} // namespace host
} // namespace Image
} // namespace DD
