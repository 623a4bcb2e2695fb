// Host side only: what the host does to an op besides the virtual calls of the SDK.
#pragma once

#include <string>
#include <vector>

#include "DDImage/DDImage_API.h"
#include "DDImage/ImagePlane.h"
#include "DDImage/OutputContext.h"

namespace DD {
namespace Image {

class Op;
class PlanarIop;

namespace host {

DDImage_API void setOutputContext(Op& op, const OutputContext& context);

// Connects an op's inputs: for each input, its split contexts in order (contextsPerInput[n][k] is
// what Op::input(n, k) returns). Op::input(i) counts them one after another. Null entries are
// allowed (an unconnected input).
DDImage_API void connectInputs(Op& op, const std::vector<std::vector<Op*>>& contextsPerInput);

// Starts a render pass: clears the op's error and any abort request from the previous pass.
DDImage_API void beginRender(Op& op);
// A user abort of the render in progress on that op; Op::aborted() is true from now on.
// Thread-safe.
DDImage_API void requestAbort(Op& op);
// Aborts every op at once (Op::aborted() is true everywhere). Async-signal-safe, for a Ctrl-C
// handler. Cleared by clearAbortAll().
DDImage_API void requestAbortAll() noexcept;
DDImage_API void clearAbortAll();

DDImage_API bool hasError(const Op& op);
DDImage_API std::string errorText(const Op& op);
DDImage_API bool isOpen(const Op& op);

// Renders `target` (its box and channels) with a planar op as the host does: one renderStripe
// call with `target` itself when the op wants neither stripes nor a layout other than the
// target's; otherwise stripes and/or a plane of the op's preferred layout, copied into `target`.
// Stops between stripes when the op is aborted. Exceptions from renderStripe pass through.
DDImage_API void renderPlane(PlanarIop& op, ImagePlane& target);

} // namespace host
} // namespace Image
} // namespace DD
