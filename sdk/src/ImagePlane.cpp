#include <algorithm>

#include "DDImage/ImagePlane.h"
#include "DDImageHost/Planes.h"

namespace DD {
namespace Image {

// The pixels, and whether anyone asked to write them: a host tells an op that rendered nothing
// from one that rendered black.
struct ImagePlane::Storage {
  std::vector<float> pixels;
  bool written = false;
};

namespace host {

struct PlaneAccess {
  static bool written(const ImagePlane& plane) { return plane.data_->written; }
};

bool wasWritten(const ImagePlane& plane)
{
  return PlaneAccess::written(plane);
}

} // namespace host

namespace {
std::size_t floatCount(const Box& box, int nComps)
{
  return std::size_t(std::max(box.w(), 0)) * std::size_t(std::max(box.h(), 0)) * std::size_t(std::max(nComps, 0));
}
} // namespace

ImagePlane::ImagePlane(const Box& box, bool packed, const ChannelSet& channels, int nComps)
    : ImagePlaneDescriptor(box, packed, channels, nComps),
      data_(std::make_shared<Storage>(Storage{std::vector<float>(floatCount(box, nComps), 0.0f)}))
{}

ImagePlane::ImagePlane(const Box& box, bool packed, const ChannelSet& channels)
    : ImagePlane(box, packed, channels, int(channels.size()))
{}

const float* ImagePlane::readable() const
{
  return data_->pixels.data();
}

float* ImagePlane::writable()
{
  data_->written = true;
  return data_->pixels.data();
}

void ImagePlane::makeUnique()
{
  if (data_.use_count() > 1)
    data_ = std::make_shared<Storage>(*data_);
}

std::ptrdiff_t ImagePlane::rowStride() const
{
  return packed() ? std::ptrdiff_t(bounds().w()) * nComps() : bounds().w();
}

std::ptrdiff_t ImagePlane::colStride() const
{
  return packed() ? nComps() : 1;
}

std::ptrdiff_t ImagePlane::chanStride() const
{
  return packed() ? 1 : std::ptrdiff_t(bounds().w()) * bounds().h();
}

float ImagePlane::at(int x, int y, int z) const
{
  return data_
    ->pixels[std::size_t((y - bounds().y()) * rowStride() + (x - bounds().x()) * colStride() + z * chanStride())];
}

float& ImagePlane::writableAt(int x, int y, int z)
{
  data_->written = true;
  return data_
    ->pixels[std::size_t((y - bounds().y()) * rowStride() + (x - bounds().x()) * colStride() + z * chanStride())];
}

int ImagePlane::chanNo(Channel c) const
{
  int index = 0;
  for (Channel k = channels().first(); k != Chan_Black && index < nComps(); k = channels().next(k), ++index)
    if (k == c)
      return index;
  return -1;
}

} // namespace Image
} // namespace DD
