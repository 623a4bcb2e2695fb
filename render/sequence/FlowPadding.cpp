#include "render/sequence/FlowPadding.h"

#include <algorithm>

#include <ATen/ops/constant_pad_nd.h>

namespace magnifex {

FlowPadding flow_padding(int h, int w)
{
  FlowPadding p;
  int H = h, W = w;
  if (h % 8 != 0 || w % 8 != 0) {
    H += 8 - h % 8;
    W += 8 - w % 8;
  }
  H = std::max(H, 128);
  W = std::max(W, 128);
  p.bottom = H - h;
  p.right = W - w;
  return p;
}

at::Tensor pad_for_flow(const at::Tensor& patch, const FlowPadding& padding)
{
  at::Tensor padded = padding.any() ? at::constant_pad_nd(patch, {0, padding.right, 0, padding.bottom}, 0.0) : patch;
  return padded.size(1) > 3 ? padded.narrow(1, 0, 3) : padded;
}

at::Tensor crop_flow(const at::Tensor& flow, const FlowPadding& padding, int h, int w)
{
  return padding.any() ? flow.narrow(2, 0, h).narrow(3, 0, w) : flow;
}

} // namespace magnifex
