#pragma once

#include "DDImage_API.h"
#include "ImagePlane.h"
#include "Iop.h"

namespace DD {
namespace Image {

// The planar side of an image op: how it likes its planes laid out.
class DDImage_API PlanarI {
public:
  enum PackedPreference { ePackedPreferenceUnpacked = 0, ePackedPreferencePacked = 1, ePackedPreferenceNone = 2 };
  virtual ~PlanarI() {}
  virtual PackedPreference packedPreference() const { return ePackedPreferenceNone; }
};

// An image op that renders whole planes (or horizontal stripes of them).
class DDImage_API PlanarIop : public Iop, public PlanarI {
public:
  explicit PlanarIop(Node* node);
  ~PlanarIop() override;

  virtual void renderStripe(ImagePlane& plane) = 0;
  virtual bool useStripes() const { return true; }
  virtual bool renderFullPlanes() const { return false; }

  void fetchPlane(ImagePlane& plane) override;

protected:
  void _open() override;
};

} // namespace Image
} // namespace DD
