#include <algorithm>
#include <cstring>

#include "DDImage/Iop.h"
#include "DDImageHost/Events.h"
#include "OpImpl.h"

namespace DD {
namespace Image {

Iop::Iop(Node* node) : Op(node) {}

Iop::~Iop() = default;

Iop* Iop::input(int n) const
{
  return dynamic_cast<Iop*>(Op::input(n));
}

Iop* Iop::input(int n, int offset) const
{
  return dynamic_cast<Iop*>(Op::input(n, offset));
}

void Iop::copy_info()
{
  copy_info(0);
}

// Without that input the info stays as it is.
void Iop::copy_info(int n)
{
  if (const Iop* in = input(n))
    info_ = in->info();
}

// Requests accumulate until the next validation: the union of the boxes and channels, the
// largest count.
void Iop::request(const Box& box, const ChannelSet& channels, int count)
{
  OpImpl& state = *impl();
  if (!state.hasRequest) {
    state.requestedBox = box;
    state.requestedChannels = channels;
    state.requestCount = count;
    state.hasRequest = true;
  } else {
    const Box& b = state.requestedBox;
    state.requestedBox =
      Box(std::min(b.x(), box.x()), std::min(b.y(), box.y()), std::max(b.r(), box.r()), std::max(b.t(), box.t()));
    state.requestedChannels |= channels;
    state.requestCount = std::max(state.requestCount, count);
  }
}

void Iop::request(int x, int y, int r, int t, const ChannelSet& channels, int count)
{
  request(Box(x, y, r, t), channels, count);
}

const Box& Iop::requestedBox() const
{
  return impl()->requestedBox;
}

const ChannelSet& Iop::requestedChannels() const
{
  return impl()->requestedChannels;
}

// By default every connected input is asked for the same region.
void Iop::getRequests(const Box& box, const ChannelSet& channels, int count, RequestOutput& out) const
{
  for (int i = 0; i < inputs(); ++i)
    if (Iop* in = input(i))
      out.request(in, box, channels, count);
}

// An image op that renders no pixels of its own gives black.
void Iop::fetchPlane(ImagePlane& plane)
{
  if (host::hasEventListeners())
    host::emit(host::Event("fetch_plane", this)
                 .with("box", plane.bounds())
                 .with("channels", plane.channels())
                 .with("packed", plane.packed()));
  plane.makeUnique();
  const Box& b = plane.bounds();
  const std::size_t n =
    std::size_t(std::max(b.w(), 0)) * std::size_t(std::max(b.h(), 0)) * std::size_t(std::max(plane.nComps(), 0));
  std::fill_n(plane.writable(), n, 0.0f);
}

// As hosts do by default: the input's image passes through.
void Iop::_validate(bool for_real)
{
  if (Iop* in = input0()) {
    in->validate(for_real);
    copy_info();
  }
}

void Iop::_close() {}

} // namespace Image
} // namespace DD
