// The node's input as either mode reads it: the channels and the box, planes fetched from the
// host and turned into host tensors, every failure turned into the node's error text.
#pragma once

#include <memory>
#include <optional>

#include <ATen/core/Tensor.h>

#include "DDImage/Box.h"
#include "DDImage/ChannelSet.h"
#include "DDImage/ImagePlane.h"
#include "op/RenderRun.h"
#include "render/PatchGrid.h"
#include "render/sequence/SequenceFrame.h"

namespace magnifex {

class InputReader : public SequencePatchReader {
public:
  explicit InputReader(const RenderRun& run) : run_(run) {}

  // The mode's debug line, the abort check, input 0's box and the channels to read; false when
  // aborted.
  bool begin(const char* mode, const DD::Image::ImagePlane& plane);
  // False, with the node's error, when the input has none of the plane's channels or the
  // write-back cannot fill the plane in one block ("Nothing to render" ...).
  bool output_fits(const DD::Image::ImagePlane& plane);
  // The patch grid over the input; nothing, with the node's error, when there is none.
  std::optional<PatchGrid> patch_grid(bool multisample);

  const DD::Image::Box& box() const { return box_; }
  const DD::Image::ChannelSet& channels() const { return channels_; }

  // Requests and fetches a box of an input.
  std::unique_ptr<DD::Image::ImagePlane> fetch(DD::Image::Iop& source, const DD::Image::Box& box);
  // A fetched plane as a [1, n, h, w] host tensor (a copy); nothing after the node's error (the host
  // could not give the pixels). A failure of the copy itself is thrown.
  std::optional<at::Tensor> to_host(const DD::Image::ImagePlane& plane);

  // Sequence mode's reads from the input contexts.
  std::optional<ContextBox> context_box(int context) override;
  std::optional<at::Tensor> read(int context, const PatchRect& patch, bool current_frame) override;

private:
  // The input's channels a render of the output plane reads, with their debug lines.
  DD::Image::ChannelSet read_channels(const DD::Image::ImagePlane& plane) const;

  const RenderRun& run_;
  DD::Image::Box box_;
  DD::Image::ChannelSet channels_;
};

} // namespace magnifex
