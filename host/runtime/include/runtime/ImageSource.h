// Images served to a node's input, frame by frame, as a read node serves them.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DDImage/Box.h"
#include "DDImage/Channel.h"
#include "DDImage/ChannelSet.h"
#include "DDImage/Format.h"

namespace host_runtime {

// Float pixels of a box, rows from the bottom of the box, the channels of a pixel side by side in
// the order of `channels`.
struct Image {
  DD::Image::Box box{0, 0, 0, 0};
  std::vector<DD::Image::Channel> channels;
  std::vector<float> pixels;

  // An image whose pixel (x, y) of channel index c holds value(x, y, c).
  static Image filled(const DD::Image::Box& box, std::vector<DD::Image::Channel> channels,
                      const std::function<float(int x, int y, int c)>& value);

  float at(int x, int y, int c) const
  {
    return pixels[(std::size_t(y - box.y()) * std::size_t(box.w()) + std::size_t(x - box.x())) * channels.size() +
                  std::size_t(c)];
  }
  // Index of the channel in `channels`, -1 when absent.
  int indexOf(DD::Image::Channel channel) const;
};

// What a frame looks like before its pixels are read.
struct ImageDescription {
  DD::Image::Format format; // may start anywhere, not only at 0, 0
  DD::Image::Box bbox{0, 0, 0, 0};
  std::vector<DD::Image::Channel> channels;
  int firstFrame = 1;
  int lastFrame = 1;

  DD::Image::ChannelSet channelSet() const;
};

class ImageSource {
public:
  virtual ~ImageSource() = default;
  // The frame range of the material.
  virtual int firstFrame() const = 0;
  virtual int lastFrame() const = 0;
  // Description and pixels of a frame within the range; a std::exception when it cannot be had.
  virtual ImageDescription describe(int frame) const = 0;
  virtual std::shared_ptr<const Image> pixels(int frame) const = 0;
};

} // namespace host_runtime
