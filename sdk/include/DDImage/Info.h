#pragma once

#include "Box.h"
#include "ChannelSet.h"
#include "DDImage_API.h"
#include "Format.h"

namespace DD {
namespace Image {

// What an image op outputs: bounding box, channels, formats and frame range.
class DDImage_API IopInfo : public Box {
public:
  IopInfo() : Box(0, 0, 0, 0), format_(nullptr), full_size_format_(nullptr), first_frame_(0), last_frame_(0) {}

  const ChannelSet& channels() const { return channels_; }
  void channels(const ChannelSet& c) { channels_ = c; }

  // An op that was never validated has no format yet: it reads as the default one.
  const Format& format() const { return format_ ? *format_ : default_format(); }
  void format(const Format& f) { format_ = &f; }
  const Format& full_size_format() const { return full_size_format_ ? *full_size_format_ : default_format(); }
  void full_size_format(const Format& f) { full_size_format_ = &f; }

  int first_frame() const { return first_frame_; }
  int last_frame() const { return last_frame_; }
  void first_frame(int f) { first_frame_ = f; }
  void last_frame(int f) { last_frame_ = f; }

  const Box& box() const { return *this; }

private:
  static const Format& default_format()
  {
    static const Format f;
    return f;
  }
  ChannelSet channels_;
  const Format* format_;
  const Format* full_size_format_;
  int first_frame_, last_frame_;
};

class DDImage_API IopInfoOwner {
public:
  const IopInfo& info() const { return info_; }
  int x() const { return info_.x(); }
  int y() const { return info_.y(); }
  int r() const { return info_.r(); }
  int t() const { return info_.t(); }
  const ChannelSet& channels() const { return info_.channels(); }
  const Format& format() const { return info_.format(); }

protected:
  IopInfo info_;
};

} // namespace Image
} // namespace DD
