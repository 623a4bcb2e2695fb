// Channel names and ChannelSet iteration / text.
#include <array>
#include <mutex>
#include <ostream>
#include <string>

#include "DDImage/Channel.h"
#include "DDImage/ChannelSet.h"

namespace DD {
namespace Image {
namespace {

// Bits of the channels that exist (1 .. Chan_Last); Mask_All has one bit more than that.
constexpr std::uint64_t kValidBits = (std::uint64_t(1) << Chan_Last) - 1;

struct ChannelNames {
  std::mutex mutex;
  // A slot is written once, under the mutex, and never changes afterwards, so the c_str()
  // pointers handed out stay valid.
  std::array<std::string, Chan_Last + 1> names;
  ChannelNames()
  {
    names[Chan_Red] = "rgba.red";
    names[Chan_Green] = "rgba.green";
    names[Chan_Blue] = "rgba.blue";
    names[Chan_Alpha] = "rgba.alpha";
    names[Chan_Z] = "depth.Z";
  }
};

ChannelNames& channelNames()
{
  static ChannelNames table;
  return table;
}

// Callers pass a non-zero value.
int lowestBit(std::uint64_t bits)
{
  int i = 0;
  while (!(bits & 1)) {
    bits >>= 1;
    ++i;
  }
  return i;
}

int highestBit(std::uint64_t bits)
{
  int i = -1;
  while (bits) {
    bits >>= 1;
    ++i;
  }
  return i;
}

} // namespace

const char* getName(Channel c)
{
  if (c <= Chan_Black || c > Chan_Last)
    return "none";
  ChannelNames& table = channelNames();
  std::lock_guard<std::mutex> lock(table.mutex);
  const std::string& name = table.names[c];
  return name.empty() ? "unknown" : name.c_str();
}

Channel getChannel(const char* name)
{
  if (!name || !*name)
    return Chan_Black;
  ChannelNames& table = channelNames();
  std::lock_guard<std::mutex> lock(table.mutex);
  for (int c = 1; c <= Chan_Last; ++c)
    if (table.names[c] == name)
      return Channel(c);
  for (int c = Chan_Z + 1; c <= Chan_Last; ++c) {
    if (table.names[c].empty()) {
      table.names[c] = name;
      return Channel(c);
    }
  }
  return Chan_Black;
}

unsigned ChannelSet::size() const
{
  unsigned n = 0;
  for (std::uint64_t b = bits_ & kValidBits; b; b &= b - 1)
    ++n;
  return n;
}

Channel ChannelSet::first() const
{
  const std::uint64_t b = bits_ & kValidBits;
  return b ? Channel(lowestBit(b) + 1) : Chan_Black;
}

Channel ChannelSet::next(Channel c) const
{
  if (c >= Chan_Last)
    return Chan_Black;
  const std::uint64_t above = c <= Chan_Black ? ~std::uint64_t(0) : ~((std::uint64_t(1) << c) - 1);
  const std::uint64_t b = bits_ & kValidBits & above;
  return b ? Channel(lowestBit(b) + 1) : Chan_Black;
}

Channel ChannelSet::last() const
{
  const std::uint64_t b = bits_ & kValidBits;
  return b ? Channel(highestBit(b) + 1) : Chan_Black;
}

std::ostream& operator<<(std::ostream& o, const ChannelSet& s)
{
  const std::uint64_t b = s.bits() & kValidBits;
  if (b == 0)
    return o << "none";
  if (b == kValidBits)
    return o << "all";
  if (b == Mask_RGB)
    return o << "rgb";
  if (b == Mask_RGBA)
    return o << "rgba";
  o << '{';
  const char* separator = "";
  for (Channel c = s.first(); c != Chan_Black; c = s.next(c)) {
    o << separator << getName(c);
    separator = ", ";
  }
  return o << '}';
}

} // namespace Image
} // namespace DD
