#include "runtime/FileSequenceSource.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "runtime/HostError.h"

namespace host_runtime {
namespace {

// What stands under an input's name when it is not an image file to read.
std::string whyNoFile(const FramePattern& pattern)
{
  if (pattern.hasFrameNumber())
    return "no files match " + pattern.text();
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(pattern.text(), ec);
  if (ec || !std::filesystem::exists(status))
    return "no such file: " + pattern.text();
  if (std::filesystem::is_directory(status))
    return "a folder, not an image file: " + pattern.text();
  return "not a regular file (a pipe or a device?): " + pattern.text();
}

} // namespace

FileSequenceSource::FileSequenceSource(const FramePattern& pattern, ImageFileReader reader, std::size_t cachedFrames)
    : pattern_(pattern), reader_(std::move(reader)), frames_(pattern.existingFrames()),
      cachedFrames_(std::max<std::size_t>(cachedFrames, 1))
{
  if (frames_.empty())
    throw HostError(HostError::Kind::Input, whyNoFile(pattern));
}

std::string FileSequenceSource::existingFile(int frame) const
{
  if (!std::binary_search(frames_.begin(), frames_.end(), frame))
    throw std::runtime_error("missing frame " + std::to_string(frame) + ": " + pattern_.pathFor(frame));
  return pattern_.pathFor(frame);
}

std::string FileSequenceSource::fileShownAt(int frame) const
{
  const int shown = std::clamp(frame, firstFrame(), lastFrame());
  return std::binary_search(frames_.begin(), frames_.end(), shown) ? pattern_.pathFor(shown) : std::string();
}

std::vector<std::string> FileSequenceSource::files() const
{
  std::vector<std::string> paths;
  for (int frame : frames_)
    paths.push_back(pattern_.pathFor(frame));
  return paths;
}

ImageDescription FileSequenceSource::describe(int frame) const
{
  ImageDescription d = reader_.readDescription(existingFile(frame));
  d.firstFrame = firstFrame();
  d.lastFrame = lastFrame();
  return d;
}

std::shared_ptr<const Image> FileSequenceSource::pixels(int frame) const
{
  {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    for (auto it = cache_.begin(); it != cache_.end(); ++it) {
      if (it->first == frame) {
        cache_.splice(cache_.begin(), cache_, it);
        return cache_.front().second;
      }
    }
  }
  auto image = std::make_shared<const Image>(reader_.readPixels(existingFile(frame)));
  std::lock_guard<std::mutex> lock(cacheMutex_);
  cache_.emplace_front(frame, image);
  if (cache_.size() > cachedFrames_)
    cache_.pop_back();
  return image;
}

} // namespace host_runtime
