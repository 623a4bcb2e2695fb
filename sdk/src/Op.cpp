// Op lifecycle as the host runs it, inputs, errors, abort and progress.
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "DDImage/Iop.h"
#include "DDImage/Op.h"
#include "DDImageHost/Events.h"
#include "DDImageHost/Node.h"
#include "OpImpl.h"

namespace DD {
namespace Image {

std::atomic<bool> g_abortAll{false};

namespace {

void emitValidated(const Op& op, bool forReal)
{
  host::Event event("validate", &op);
  event.with("for_real", forReal);
  if (const Iop* iop = dynamic_cast<const Iop*>(&op)) {
    const IopInfo& info = iop->info();
    event.with("format", info.format())
      .with("full_size_format", info.full_size_format())
      .with("box", info.box())
      .with("channels", info.channels())
      .with("first_frame", info.first_frame())
      .with("last_frame", info.last_frame());
  }
  host::emit(event);
}

} // namespace

Op::Op(Node* node) : impl_(new OpImpl)
{
  impl_->node = node;
}

Op::~Op() = default;

void Op::knobs(Knob_Callback) {}

int Op::knob_changed(Knob*)
{
  return 0;
}

Knob* Op::knob(const char* name) const
{
  for (const auto& k : impl_->knobs)
    if (k->is(name))
      return k.get();
  return nullptr;
}

int Op::split_input(int) const
{
  return 1;
}

const OutputContext& Op::inputContext(int, int, OutputContext& ctx) const
{
  ctx = outputContext();
  return ctx;
}

const OutputContext* Op::inputUIContext(int, OutputContext&) const
{
  return nullptr;
}

float Op::uses_input(int) const
{
  return 1.0f;
}

Op* Op::input(int n) const
{
  if (n < 0 || std::size_t(n) >= impl_->flatInputs.size())
    return nullptr;
  return impl_->flatInputs[std::size_t(n)];
}

Op* Op::input(int n, int offset) const
{
  if (n < 0 || std::size_t(n) >= impl_->inputsBySplit.size())
    return nullptr;
  const std::vector<Op*>& splits = impl_->inputsBySplit[std::size_t(n)];
  if (offset < 0 || std::size_t(offset) >= splits.size())
    return nullptr;
  return splits[std::size_t(offset)];
}

int Op::inputs() const
{
  return int(impl_->flatInputs.size());
}

const OutputContext& Op::outputContext() const
{
  return impl_->context;
}

std::string Op::node_name() const
{
  return impl_->node ? impl_->node->name() : std::string();
}

// Hosts skip _validate when nothing changed since the last call; here it always runs, so every
// caller sees info computed from the current knobs, context and inputs.
void Op::validate(bool for_real)
{
  impl_->hasRequest = false;
  impl_->requestedBox = Box(0, 0, 0, 0);
  impl_->requestedChannels = ChannelSet();
  impl_->requestCount = 0;
  _validate(for_real);
  impl_->valid = true;
  impl_->openSinceValidate = false;
  if (host::hasEventListeners())
    emitValidated(*this, for_real);
}

// _open runs once after each validation; _close once after any number of opens. A render of
// several frames therefore opens at every frame and closes at the end, as hosts do.
void Op::open()
{
  if (!impl_->valid)
    validate(true);
  if (impl_->openSinceValidate)
    return;
  _open();
  impl_->openSinceValidate = true;
  impl_->needsClose = true;
  if (host::hasEventListeners())
    host::emit(host::Event("open", this));
}

void Op::close()
{
  impl_->openSinceValidate = false;
  if (!impl_->needsClose)
    return;
  impl_->needsClose = false;
  _close();
  if (host::hasEventListeners())
    host::emit(host::Event("close", this));
}

void Op::error(const char* format, ...)
{
  std::string text;
  if (format) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n > 0) {
      std::vector<char> buffer(std::size_t(n) + 1);
      std::vsnprintf(buffer.data(), buffer.size(), format, args);
      text.assign(buffer.data(), std::size_t(n));
    }
    va_end(args);
  }
  {
    std::lock_guard<std::mutex> lock(impl_->errorMutex);
    impl_->errorText = text; // the latest error is the one the node shows
  }
  impl_->failed = true;
  if (host::hasEventListeners())
    host::emit(host::Event("error", this).with("text", text));
}

bool Op::aborted() const
{
  return impl_->failed || impl_->abortRequested || g_abortAll;
}

void Op::progressFraction(double fraction, StatusFlags)
{
  if (host::hasEventListeners())
    host::emit(host::Event("progress", this).with("fraction", fraction));
}

void Op::progressFraction(int done, int total, StatusFlags flags)
{
  progressFraction(total > 0 ? double(done) / double(total) : 0.0, flags);
}

void Op::append(Hash&) {}

Node* Op::node() const
{
  return impl_->node;
}

void Op::_validate(bool) {}
void Op::_open() {}
void Op::_close() {}

} // namespace Image
} // namespace DD
