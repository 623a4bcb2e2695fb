// The input op the host puts in front of a node: a read node serving one frame of an ImageSource.
// Each input context of a node gets its own instance at its own frame.
#pragma once

#include <memory>

#include "DDImage/PlanarIop.h"
#include "runtime/ImageSource.h"

namespace host_runtime {

class SourceOp : public DD::Image::PlanarIop {
public:
  SourceOp(DD::Image::Node* node, std::shared_ptr<const ImageSource> source);

  const char* Class() const override { return "Read"; }
  const char* node_help() const override { return "Serves frames of images held by the host."; }
  int minimum_inputs() const override { return 0; }
  int maximum_inputs() const override { return 0; }
  bool useStripes() const override { return false; }
  bool renderFullPlanes() const override { return true; }

  // The source frame shown: the context's frame rounded to the nearest integer and held at the
  // ends of the range, as a read node holds its first and last frames.
  int sourceFrame() const { return frame_; }

  // Pixels outside the bounding box repeat its edge pixels; channels the image lacks are black.
  void renderStripe(DD::Image::ImagePlane& plane) override;

protected:
  // Describes the frame; a frame that cannot be had is an error of this op.
  void _validate(bool for_real) override;

private:
  std::shared_ptr<const ImageSource> source_;
  DD::Image::Format format_;
  int frame_ = 0;
};

} // namespace host_runtime
