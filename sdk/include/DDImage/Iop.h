#pragma once

#include "Box.h"
#include "ChannelSet.h"
#include "DDImage_API.h"
#include "ImagePlane.h"
#include "Info.h"
#include "Op.h"
#include "RequestOutput.h"

namespace DD {
namespace Image {

// An op that produces images.
class DDImage_API Iop : public Op, public IopInfoOwner {
public:
  explicit Iop(Node* node);
  ~Iop() override;

  Iop* input(int n) const;
  Iop* input(int n, int offset) const;
  Iop* input0() const { return input(0); }

  // Copies input 0's info (channels, box, formats, frame range) into this op.
  void copy_info();
  void copy_info(int input);

  // Tells this op which region and channels will be read from it.
  void request(const Box& box, const ChannelSet& channels, int count = 1);
  void request(int x, int y, int r, int t, const ChannelSet& channels, int count = 1);
  const Box& requestedBox() const;
  const ChannelSet& requestedChannels() const;

  virtual void getRequests(const Box& box, const ChannelSet& channels, int count, RequestOutput& out) const;

  // Fills the plane with this op's pixels for the plane's box and channels.
  virtual void fetchPlane(ImagePlane& plane);

protected:
  void _validate(bool for_real) override;
  void _close() override;
};

} // namespace Image
} // namespace DD
