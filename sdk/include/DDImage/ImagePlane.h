#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "Box.h"
#include "ChannelSet.h"
#include "DDImage_API.h"

namespace DD {
namespace Image {

namespace host {
struct PlaneAccess; // the host's view of a plane (DDImageHost/Planes.h)
}

// What an image plane holds: box, channels, layout.
class DDImage_API ImagePlaneDescriptor {
public:
  ImagePlaneDescriptor(const Box& box, bool packed, const ChannelSet& channels, int nComps)
      : bounds_(box), packed_(packed), channels_(channels), nComps_(nComps)
  {}

  const Box& bounds() const { return bounds_; }
  bool packed() const { return packed_; }
  const ChannelSet& channels() const { return channels_; }
  int nComps() const { return nComps_; }

private:
  Box bounds_;
  bool packed_;
  ChannelSet channels_;
  int nComps_;
};

// Float pixels of a box. Packed: the components of a pixel lie side by side; unpacked: one
// full plane per channel. Rows run from the bottom of the box upwards.
class DDImage_API ImagePlane : public ImagePlaneDescriptor {
public:
  ImagePlane(const Box& box, bool packed, const ChannelSet& channels, int nComps);
  ImagePlane(const Box& box, bool packed, const ChannelSet& channels);

  const float* readable() const;
  float* writable();
  // Gives the plane its own storage if it shares it with another plane.
  void makeUnique();
  void makeWritable() { makeUnique(); }

  std::ptrdiff_t rowStride() const;
  std::ptrdiff_t colStride() const;
  std::ptrdiff_t chanStride() const;

  // Component z (0 .. nComps - 1) of pixel (x, y), coordinates in the plane's box.
  float at(int x, int y, int z) const;
  float& writableAt(int x, int y, int z);

  // Index of channel c among the plane's channels, -1 when absent.
  int chanNo(Channel c) const;

private:
  friend struct host::PlaneAccess;
  struct Storage;
  std::shared_ptr<Storage> data_;
};

} // namespace Image
} // namespace DD
