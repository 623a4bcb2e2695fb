#include "models/MemAdapter.h"

#include <torch/csrc/jit/serialization/import.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace magnifex {

size_t MemAdapter::size() const
{
  return static_cast<size_t>(size_);
}

size_t MemAdapter::read(uint64_t pos, void* buf, size_t n, const char* /*what*/) const
{
  if (pos >= size_)
    return 0;
  const size_t count = static_cast<size_t>(std::min<uint64_t>(n, size_ - pos));
  std::memcpy(buf, static_cast<const unsigned char*>(data_) + pos, count);
  return count;
}

torch::jit::Module load_archive(const void* data, size_t size, c10::Device device)
{
  return torch::jit::load(std::make_shared<MemAdapter>(data, size), device, true);
}

} // namespace magnifex
