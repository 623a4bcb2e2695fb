// Frames held in memory, for tests and for tools that make their images themselves.
#pragma once

#include <map>

#include "runtime/ImageSource.h"

namespace host_runtime {

class MemoryImageSource : public ImageSource {
public:
  explicit MemoryImageSource(const DD::Image::Format& format) : format_(format) {}

  // The frame's bounding box is the image's box; its channels, the image's channels. The frame
  // range spans the frames added; frames inside it that were never added cannot be read.
  void addFrame(int frame, Image image);

  int firstFrame() const override;
  int lastFrame() const override;
  ImageDescription describe(int frame) const override;
  std::shared_ptr<const Image> pixels(int frame) const override;

private:
  const std::shared_ptr<const Image>& find(int frame) const;

  DD::Image::Format format_;
  std::map<int, std::shared_ptr<const Image>> frames_;
};

} // namespace host_runtime
