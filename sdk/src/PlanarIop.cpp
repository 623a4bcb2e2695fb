// Planar rendering: how the host turns a plane request into renderStripe calls.
#include <algorithm>

#include "DDImage/PlanarIop.h"
#include "DDImageHost/Events.h"
#include "DDImageHost/OpControl.h"
#include "DDImageHost/Planes.h"

namespace DD {
namespace Image {
namespace {

// Height of the stripes the host cuts a plane into for an op that wants stripes.
constexpr int kStripeRows = 32;

void copyPlane(const ImagePlane& from, ImagePlane& to)
{
  const Box& b = from.bounds();
  for (int z = 0; z < std::min(from.nComps(), to.nComps()); ++z)
    for (int y = b.y(); y < b.t(); ++y)
      for (int x = b.x(); x < b.r(); ++x)
        to.writableAt(x, y, z) = from.at(x, y, z);
}

bool wantsPacked(const PlanarIop& op, const ImagePlane& target)
{
  switch (op.packedPreference()) {
  case PlanarI::ePackedPreferencePacked: return true;
  case PlanarI::ePackedPreferenceUnpacked: return false;
  default: return target.packed();
  }
}

} // namespace

PlanarIop::PlanarIop(Node* node) : Iop(node) {}

PlanarIop::~PlanarIop() = default;

void PlanarIop::fetchPlane(ImagePlane& plane)
{
  if (host::hasEventListeners())
    host::emit(host::Event("fetch_plane", this)
                 .with("box", plane.bounds())
                 .with("channels", plane.channels())
                 .with("packed", plane.packed()));
  open(); // inputs are opened when first read, as hosts do
  plane.makeUnique();
  host::renderPlane(*this, plane);
}

void PlanarIop::_open() {}

namespace host {

void renderPlane(PlanarIop& op, ImagePlane& target)
{
  const Box& whole = target.bounds();
  if (whole.w() <= 0 || whole.h() <= 0)
    return; // nothing to render
  const bool packed = wantsPacked(op, target);
  const bool stripes = op.useStripes() && !op.renderFullPlanes();
  const int rows = stripes ? kStripeRows : whole.h();
  for (int y = whole.y(); y < whole.t(); y += rows) {
    const Box stripe(whole.x(), y, whole.r(), std::min(y + rows, whole.t()));
    if (stripe == whole && packed == target.packed()) {
      op.renderStripe(target);
    } else {
      ImagePlane part(stripe, packed, target.channels(), target.nComps());
      op.renderStripe(part);
      // A stripe the op left alone stays unwritten in the target too, so the host can tell.
      if (wasWritten(part))
        copyPlane(part, target);
    }
    if (op.aborted())
      break;
  }
}

} // namespace host
} // namespace Image
} // namespace DD
