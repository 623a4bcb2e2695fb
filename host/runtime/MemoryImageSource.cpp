#include "runtime/MemoryImageSource.h"

#include <stdexcept>

namespace host_runtime {

void MemoryImageSource::addFrame(int frame, Image image)
{
  frames_[frame] = std::make_shared<const Image>(std::move(image));
}

int MemoryImageSource::firstFrame() const
{
  return frames_.empty() ? 1 : frames_.begin()->first;
}

int MemoryImageSource::lastFrame() const
{
  return frames_.empty() ? 1 : frames_.rbegin()->first;
}

const std::shared_ptr<const Image>& MemoryImageSource::find(int frame) const
{
  auto it = frames_.find(frame);
  if (it == frames_.end())
    throw std::runtime_error("no image for frame " + std::to_string(frame));
  return it->second;
}

ImageDescription MemoryImageSource::describe(int frame) const
{
  const Image& image = *find(frame);
  ImageDescription d;
  d.format = format_;
  d.bbox = image.box;
  d.channels = image.channels;
  d.firstFrame = firstFrame();
  d.lastFrame = lastFrame();
  return d;
}

std::shared_ptr<const Image> MemoryImageSource::pixels(int frame) const
{
  return find(frame);
}

} // namespace host_runtime
