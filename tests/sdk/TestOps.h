// Small ops for the SDK tests.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DDImage/PlanarIop.h"
#include "DDImageHost/Node.h"

namespace sdk_test {

using namespace DD::Image;

// An image op whose pixel (x, y) of channel c holds 1000 * c + 10 * y + x, over `box`.
class PatternOp : public PlanarIop {
public:
  static float value(int x, int y, Channel c) { return float(1000 * int(c) + 10 * y + x); }

  PatternOp(Node* node, const Box& box, const ChannelSet& channels) : PlanarIop(node), box_(box), channels_(channels) {}

  const char* Class() const override { return "Pattern"; }
  const char* node_help() const override { return ""; }
  bool useStripes() const override { return stripes; }
  bool renderFullPlanes() const override { return !stripes; }
  PackedPreference packedPreference() const override { return preference; }

  void renderStripe(ImagePlane& plane) override
  {
    stripeCalls.push_back(plane.bounds());
    packedSeen.push_back(plane.packed());
    if (writesNothing)
      return;
    int z = 0;
    for (Channel c = plane.channels().first(); c != Chan_Black; c = plane.channels().next(c), ++z)
      for (int y = plane.bounds().y(); y < plane.bounds().t(); ++y)
        for (int x = plane.bounds().x(); x < plane.bounds().r(); ++x)
          plane.writableAt(x, y, z) = value(x, y, c);
    if (abortAfterFirstStripe)
      error("stop");
  }

  bool stripes = false;
  bool abortAfterFirstStripe = false;
  bool writesNothing = false; // returns from renderStripe without touching the plane
  PackedPreference preference = ePackedPreferenceNone;
  std::vector<Box> stripeCalls;
  std::vector<bool> packedSeen;
  int validations = 0, opens = 0, closes = 0;

protected:
  void _validate(bool) override
  {
    ++validations;
    format_ = Format(box_.r(), box_.t());
    info_.format(format_);
    info_.full_size_format(format_);
    info_.set(box_);
    info_.channels(channels_);
    info_.first_frame(3);
    info_.last_frame(9);
  }
  void _open() override { ++opens; }
  void _close() override { ++closes; }

private:
  Box box_;
  ChannelSet channels_;
  Format format_;
};

// An image op that takes everything from its input (the SDK's defaults).
class PassOp : public Iop {
public:
  explicit PassOp(Node* node) : Iop(node) {}
  const char* Class() const override { return "Pass"; }
  const char* node_help() const override { return ""; }
  int maximum_inputs() const override { return 2; }
};

} // namespace sdk_test
