#include <algorithm>

#include "DDImage/ImagePlane.h"

namespace DD {
namespace Image {
namespace {
std::size_t floatCount(const Box& box, int nComps)
{
  return std::size_t(std::max(box.w(), 0)) * std::size_t(std::max(box.h(), 0)) * std::size_t(std::max(nComps, 0));
}
} // namespace

ImagePlane::ImagePlane(const Box& box, bool packed, const ChannelSet& channels, int nComps)
  : ImagePlaneDescriptor(box, packed, channels, nComps),
    data_(std::make_shared<std::vector<float>>(floatCount(box, nComps), 0.0f))
{
}

ImagePlane::ImagePlane(const Box& box, bool packed, const ChannelSet& channels)
  : ImagePlane(box, packed, channels, int(channels.size()))
{
}

const float* ImagePlane::readable() const { return data_->data(); }

float* ImagePlane::writable() { return data_->data(); }

void ImagePlane::makeUnique()
{
  if (data_.use_count() > 1) data_ = std::make_shared<std::vector<float>>(*data_);
}

std::ptrdiff_t ImagePlane::rowStride() const
{
  return packed() ? std::ptrdiff_t(bounds().w()) * nComps() : bounds().w();
}

std::ptrdiff_t ImagePlane::colStride() const { return packed() ? nComps() : 1; }

std::ptrdiff_t ImagePlane::chanStride() const
{
  return packed() ? 1 : std::ptrdiff_t(bounds().w()) * bounds().h();
}

float ImagePlane::at(int x, int y, int z) const
{
  return (*data_)[std::size_t((y - bounds().y()) * rowStride() + (x - bounds().x()) * colStride() + z * chanStride())];
}

float& ImagePlane::writableAt(int x, int y, int z)
{
  return (*data_)[std::size_t((y - bounds().y()) * rowStride() + (x - bounds().x()) * colStride() + z * chanStride())];
}

int ImagePlane::chanNo(Channel c) const
{
  int index = 0;
  for (Channel k = channels().first(); k != Chan_Black && index < nComps(); k = channels().next(k), ++index)
    if (k == c) return index;
  return -1;
}

} // namespace Image
} // namespace DD
