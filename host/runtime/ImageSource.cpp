#include "runtime/ImageSource.h"

namespace host_runtime {

Image Image::filled(const DD::Image::Box& box, std::vector<DD::Image::Channel> channels,
                    const std::function<float(int, int, int)>& value)
{
  Image image;
  image.box = box;
  image.channels = std::move(channels);
  const std::size_t n = image.channels.size();
  image.pixels.resize(std::size_t(std::max(box.w(), 0)) * std::size_t(std::max(box.h(), 0)) * n);
  std::size_t i = 0;
  for (int y = box.y(); y < box.t(); ++y)
    for (int x = box.x(); x < box.r(); ++x)
      for (std::size_t c = 0; c < n; ++c)
        image.pixels[i++] = value(x, y, int(c));
  return image;
}

int Image::indexOf(DD::Image::Channel channel) const
{
  for (std::size_t i = 0; i < channels.size(); ++i)
    if (channels[i] == channel)
      return int(i);
  return -1;
}

DD::Image::ChannelSet ImageDescription::channelSet() const
{
  DD::Image::ChannelSet set;
  for (DD::Image::Channel c : channels)
    set += c;
  return set;
}

} // namespace host_runtime
