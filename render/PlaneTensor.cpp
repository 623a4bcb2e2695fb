#include "render/PlaneTensor.h"

#include <cstring>

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

} // namespace magnifex
