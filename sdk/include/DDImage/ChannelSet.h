#pragma once

#include <cstdint>
#include <iosfwd>

#include "Channel.h"
#include "DDImage_API.h"

namespace DD {
namespace Image {

enum ChannelSetInit : std::uint64_t {
  Mask_None = 0,
  Mask_Red = 1u << (Chan_Red - 1),
  Mask_Green = 1u << (Chan_Green - 1),
  Mask_Blue = 1u << (Chan_Blue - 1),
  Mask_Alpha = 1u << (Chan_Alpha - 1),
  Mask_RGB = Mask_Red | Mask_Green | Mask_Blue,
  Mask_RGBA = Mask_RGB | Mask_Alpha,
  Mask_All = ~std::uint64_t(0)
};

// A set of channels, iterated in channel-number order with first() / next().
class DDImage_API ChannelSet {
public:
  ChannelSet() : bits_(0) {}
  ChannelSet(ChannelSetInit m) : bits_(m) {}
  explicit ChannelSet(Channel c) : bits_(0) { insert(c); }

  void insert(Channel c)
  {
    if (c > Chan_Black && c <= Chan_Last)
      bits_ |= bit(c);
  }
  void erase(Channel c)
  {
    if (c > Chan_Black && c <= Chan_Last)
      bits_ &= ~bit(c);
  }
  bool contains(Channel c) const { return c > Chan_Black && c <= Chan_Last && (bits_ & bit(c)); }
  void clear() { bits_ = 0; }
  bool empty() const { return bits_ == 0; }

  ChannelSet& operator+=(Channel c)
  {
    insert(c);
    return *this;
  }
  ChannelSet& operator-=(Channel c)
  {
    erase(c);
    return *this;
  }
  ChannelSet& operator&=(const ChannelSet& o)
  {
    bits_ &= o.bits_;
    return *this;
  }
  ChannelSet& operator|=(const ChannelSet& o)
  {
    bits_ |= o.bits_;
    return *this;
  }
  ChannelSet operator&(const ChannelSet& o) const
  {
    ChannelSet s(*this);
    s &= o;
    return s;
  }
  ChannelSet operator|(const ChannelSet& o) const
  {
    ChannelSet s(*this);
    s |= o;
    return s;
  }
  bool operator==(const ChannelSet& o) const { return bits_ == o.bits_; }
  bool operator!=(const ChannelSet& o) const { return bits_ != o.bits_; }

  unsigned size() const;
  // First channel of the set, Chan_Black when empty.
  Channel first() const;
  // Next channel after c, Chan_Black after the last one.
  Channel next(Channel c) const;
  Channel last() const;

  std::uint64_t bits() const { return bits_; }

private:
  static std::uint64_t bit(Channel c) { return std::uint64_t(1) << (c - 1); }
  std::uint64_t bits_;
};

// Text form as the host prints it: "rgb", "rgba", or the channel names inside braces.
DDImage_API std::ostream& operator<<(std::ostream& o, const ChannelSet& s);

} // namespace Image
} // namespace DD
