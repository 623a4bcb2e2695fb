// An image file or a numbered sequence of them on disk. How files are read is the caller's: the
// runtime knows no image format.
#pragma once

#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "runtime/FramePattern.h"
#include "runtime/ImageSource.h"

namespace host_runtime {

struct ImageFileReader {
  // Both throw a std::exception when the file cannot be read.
  std::function<ImageDescription(const std::string& path)> readDescription;
  std::function<Image(const std::string& path)> readPixels;
};

class FileSequenceSource : public ImageSource {
public:
  // Finds the frames on disk (HostError Input when there are none). A single file without a frame
  // number is frame 1. A few recently read frames are kept in memory (`cachedFrames`), since
  // neighbouring frames are read again and again when a node reads several frames per output.
  FileSequenceSource(const FramePattern& pattern, ImageFileReader reader, std::size_t cachedFrames = 8);

  int firstFrame() const override { return frames_.front(); }
  int lastFrame() const override { return frames_.back(); }
  // A frame of the range whose file is missing fails with the file name.
  ImageDescription describe(int frame) const override;
  std::shared_ptr<const Image> pixels(int frame) const override;
  // The file a read node shows at `frame` (held at the ends of the range); empty when that frame
  // has no file.
  std::string fileShownAt(int frame) const;
  // Every file of the sequence found on disk.
  std::vector<std::string> files() const;

private:
  std::string existingFile(int frame) const;

  FramePattern pattern_;
  ImageFileReader reader_;
  std::vector<int> frames_;
  std::size_t cachedFrames_;
  mutable std::mutex cacheMutex_;
  mutable std::list<std::pair<int, std::shared_ptr<const Image>>> cache_; // most recent first
};

} // namespace host_runtime
