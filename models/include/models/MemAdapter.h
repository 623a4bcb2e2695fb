// Reads a TorchScript archive in place from the companion library's memory.
#pragma once

#include <caffe2/serialize/read_adapter_interface.h>

#include <cstddef>
#include <cstdint>

namespace c10 {
struct Device;
}
namespace torch::jit {
struct Module;
}

namespace magnifex {

// Does not own the bytes: they belong to the companion library and outlive every load.
class MemAdapter final : public caffe2::serialize::ReadAdapterInterface {
public:
  MemAdapter(const void* data, std::uint64_t size) : data_(data), size_(size) {}

  size_t size() const override;
  // Copies min(n, size - pos) bytes from pos; 0 when pos is at or past the end. `what` is unused.
  size_t read(uint64_t pos, void* buf, size_t n, const char* what = "") const override;

  const void* data_;
  std::uint64_t size_;
};

// Loads one archive through a fresh MemAdapter onto `device` (debug files included). Throws what
// torch::jit::load throws for bytes that are not an archive, a zero-length one included.
torch::jit::Module load_archive(const void* data, size_t size, c10::Device device);

} // namespace magnifex
