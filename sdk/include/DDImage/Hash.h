#pragma once

#include <cstddef>
#include <cstdint>

#include "DDImage_API.h"

namespace DD {
namespace Image {

// A running hash of everything that decides an op's output.
class DDImage_API Hash {
public:
  Hash() : value_(0xcbf29ce484222325ull) {}
  void append(const void* data, std::size_t n);
  void append(int v) { append(&v, sizeof v); }
  void append(unsigned v) { append(&v, sizeof v); }
  void append(bool v) { append(&v, sizeof v); }
  void append(float v) { append(&v, sizeof v); }
  void append(double v) { append(&v, sizeof v); }
  void append(const char* s);
  std::uint64_t value() const { return value_; }
  bool operator==(const Hash& o) const { return value_ == o.value_; }
  bool operator!=(const Hash& o) const { return value_ != o.value_; }

private:
  std::uint64_t value_;
};

} // namespace Image
} // namespace DD
