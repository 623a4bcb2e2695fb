#include <cstring>

#include "DDImage/Hash.h"

namespace DD {
namespace Image {

// FNV-1a: order-sensitive and cheap, which is all a render cache key needs.
void Hash::append(const void* data, std::size_t n)
{
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < n; ++i) {
    value_ ^= bytes[i];
    value_ *= 0x100000001b3ull;
  }
}

void Hash::append(const char* s)
{
  if (s)
    append(s, std::strlen(s) + 1); // with the terminator, so "ab"+"c" differs from "a"+"bc"
}

} // namespace Image
} // namespace DD
