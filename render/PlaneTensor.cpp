#include "render/PlaneTensor.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include <ATen/ops/empty.h>

namespace magnifex {

at::Tensor host_tensor_from_planes(const float* planes, int n, int H, int W, bool pinned)
{
  at::Tensor t = at::empty({1, n, H, W}, at::TensorOptions().dtype(at::kFloat).pinned_memory(pinned));
  std::memcpy(t.data_ptr<float>(), planes, sizeof(float) * std::size_t(t.numel()));
  return t;
}

at::Tensor to_pipeline(const at::Tensor& host_tensor, c10::Device device)
{
  return host_tensor.to(device).flip({2});
}

at::Tensor to_packed_host_layout(const at::Tensor& image)
{
  return image.detach().flip({2}).squeeze(0).permute({1, 2, 0}).contiguous().cpu();
}

void copy_to_plane(const at::Tensor& packed, float* buffer, std::size_t floats)
{
  if (!packed.is_contiguous() || packed.scalar_type() != at::kFloat || std::size_t(packed.numel()) != floats)
    throw std::runtime_error("the result holds " + std::to_string(packed.numel()) + " values, the output plane " +
                             std::to_string(floats));
  std::memcpy(buffer, packed.data_ptr<float>(), sizeof(float) * floats);
}

} // namespace magnifex
