#include "runtime/SourceOp.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <new>
#include <vector>

namespace host_runtime {

SourceOp::SourceOp(DD::Image::Node* node, std::shared_ptr<const ImageSource> source)
    : PlanarIop(node), source_(std::move(source))
{}

void SourceOp::_validate(bool)
{
  frame_ = std::clamp(int(std::lround(outputContext().frame())), source_->firstFrame(), source_->lastFrame());
  try {
    const ImageDescription d = source_->describe(frame_);
    format_ = d.format;
    info_.format(format_);
    info_.full_size_format(format_);
    info_.set(d.bbox);
    info_.channels(d.channelSet());
    info_.first_frame(d.firstFrame);
    info_.last_frame(d.lastFrame);
  } catch (const std::exception& e) {
    error("%s", e.what());
  }
}

void SourceOp::renderStripe(DD::Image::ImagePlane& plane)
{
  std::shared_ptr<const Image> image;
  try {
    image = source_->pixels(frame_);
  } catch (const std::bad_alloc&) {
    error("not enough memory to read frame %d", frame_);
    return;
  } catch (const std::exception& e) {
    error("%s", e.what());
    return;
  }
  const DD::Image::Box& b = plane.bounds();
  const DD::Image::Box& box = image->box;
  std::vector<int> index; // plane component -> image channel
  for (DD::Image::Channel c = plane.channels().first();
       c != DD::Image::Chan_Black && int(index.size()) < plane.nComps(); c = plane.channels().next(c))
    index.push_back(image->indexOf(c));
  if (box.w() <= 0 || box.h() <= 0) { // no pixels at all: black everywhere
    for (std::size_t z = 0; z < index.size(); ++z)
      for (int y = b.y(); y < b.t(); ++y)
        for (int x = b.x(); x < b.r(); ++x)
          plane.writableAt(x, y, int(z)) = 0.0f;
    return;
  }
  for (std::size_t z = 0; z < index.size(); ++z) {
    for (int y = b.y(); y < b.t(); ++y) {
      const int sy = std::clamp(y, box.y(), box.t() - 1);
      for (int x = b.x(); x < b.r(); ++x) {
        const int sx = std::clamp(x, box.x(), box.r() - 1);
        plane.writableAt(x, y, int(z)) = index[z] < 0 ? 0.0f : image->at(sx, sy, index[z]);
      }
    }
  }
}

} // namespace host_runtime
