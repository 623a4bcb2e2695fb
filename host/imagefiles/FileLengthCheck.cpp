#include "imagefiles/FileLengthCheck.h"

#include <algorithm>

namespace render_command {
namespace {

constexpr std::uint32_t kDpxMagic = 0x53445058;    // "SDPX", in the byte order of the file
constexpr std::uint32_t kCineonMagic = 0x802A5FD7; // in the byte order of the file
constexpr std::uint32_t kUndefined = 0xFFFFFFFF;
constexpr std::size_t kDpxHeader = 2048;
constexpr std::size_t kCineonHeader = 1024;

constexpr std::uint32_t swapped(std::uint32_t v)
{
  return v >> 24 | (v >> 8 & 0xFF00) | (v << 8 & 0xFF0000) | v << 24;
}

class Header {
public:
  Header(std::istream& file, std::size_t size) : bytes_(size, '\0')
  {
    file.clear();
    file.seekg(0);
    file.read(&bytes_[0], std::streamsize(size));
    complete_ = std::size_t(file.gcount()) == size;
  }
  bool complete() const { return complete_; }
  void setBigEndian(bool big) { big_ = big; }

  std::uint32_t u32(std::size_t at) const
  {
    return std::uint32_t(byte(at, 0) << 24 | byte(at, 1) << 16 | byte(at, 2) << 8 | byte(at, 3));
  }
  std::uint16_t u16(std::size_t at) const
  {
    const unsigned hi = big_ ? byteAt(at) : byteAt(at + 1), lo = big_ ? byteAt(at + 1) : byteAt(at);
    return std::uint16_t(hi << 8 | lo);
  }
  unsigned byteAt(std::size_t at) const { return static_cast<unsigned char>(bytes_[at]); }

private:
  // The k-th most significant byte of the 32-bit value at `at`.
  std::uint32_t byte(std::size_t at, int k) const { return byteAt(at + std::size_t(big_ ? k : 3 - k)); }

  std::string bytes_;
  bool complete_ = false;
  bool big_ = true;
};

std::string shortBy(std::uint64_t length, std::uint64_t needed, const char* what)
{
  return "cut short: the file has " + std::to_string(length) + " bytes, " + what + " " + std::to_string(needed);
}

// Components per pixel of a DPX image element by its descriptor; 0 for kinds not listed.
unsigned dpxComponents(unsigned descriptor)
{
  if (descriptor >= 1 && descriptor <= 8)
    return 1; // one channel (red, luma, alpha, depth...)
  switch (descriptor) {
  case 50: return 3; // RGB
  case 51:
  case 52: return 4;  // RGBA, ABGR
  case 100: return 2; // CbYCrY
  case 101:
  case 102: return 3;
  case 103: return 4;
  }
  return 0;
}

// The fewest bytes the samples of a DPX element can take; 0 when the layout is not the
// standard's. Lines may or may not be padded to 32 bits (writers differ), so none is counted.
std::uint64_t dpxSampleBytes(std::uint64_t samples, unsigned bits, unsigned packing)
{
  switch (bits) {
  case 1:
  case 8:
  case 16:
  case 32:
  case 64: return (samples * bits + 7) / 8;
  case 10: return packing == 0 ? (samples * 10 + 7) / 8 : (samples + 2) / 3 * 4; // filled: 3 in 32 bits
  case 12: return packing == 0 ? (samples * 12 + 7) / 8 : samples * 2;
  }
  return 0;
}

std::string dpxProblem(const Header& h, std::uint64_t length)
{
  const std::uint32_t declared = h.u32(16);
  if (declared != kUndefined && declared > length)
    return shortBy(length, declared, "its header declares");
  const std::uint64_t width = h.u32(772), height = h.u32(776);
  const unsigned components = dpxComponents(h.byteAt(800)), bits = h.byteAt(803);
  const unsigned packing = h.u16(804), encoding = h.u16(806);
  std::uint64_t offset = h.u32(808);
  if (offset == kUndefined || offset == 0)
    offset = h.u32(4);
  // Sizes beyond 2^24 are refused as too large anyway (imageSizeProblem); below, nothing overflows.
  if (encoding != 0 || components == 0 || width == 0 || height == 0 || width > 1u << 24 || height > 1u << 24)
    return {};
  const std::uint64_t samples = width * height * components;
  const std::uint64_t data = dpxSampleBytes(samples, bits, packing);
  if (data == 0)
    return {};
  const std::uint64_t needed = offset + data;
  if (needed > length)
    return shortBy(length, needed, "its pixels need at least");
  return {};
}

std::string cineonProblem(const Header& h, std::uint64_t length)
{
  const std::uint32_t declared = h.u32(20);
  if (declared != kUndefined && declared > length)
    return shortBy(length, declared, "its header declares");
  return {};
}

// A PNG ends with its IEND chunk. Readers stop once they have the pixels, so that a file cut
// within its last chunks reads as whole. Some writers append bytes after IEND: it is looked for
// near the end rather than at it.
std::string pngProblem(std::istream& file, std::uint64_t length)
{
  const std::uint64_t tail = std::min<std::uint64_t>(length, 4096);
  std::string bytes(tail, '\0');
  file.clear();
  file.seekg(std::streamoff(length - tail));
  file.read(&bytes[0], std::streamsize(tail));
  if (std::uint64_t(file.gcount()) != tail)
    return {};
  if (bytes.find("IEND") != std::string::npos)
    return {};
  return "cut short: the file ends before its IEND chunk";
}

} // namespace

std::string cutShortProblem(std::istream& file, std::uint64_t length)
{
  Header start(file, 8);
  if (!start.complete())
    return {};
  if (start.u32(0) == 0x89504E47 && start.u32(4) == 0x0D0A1A0A)
    return pngProblem(file, length);
  const std::uint32_t magic = start.u32(0);
  const bool dpx = magic == kDpxMagic || magic == swapped(kDpxMagic);
  const bool cineon = magic == kCineonMagic || magic == swapped(kCineonMagic);
  if (!dpx && !cineon)
    return {};
  if (length < (dpx ? kDpxHeader : kCineonHeader))
    return shortBy(length, dpx ? kDpxHeader : kCineonHeader, "a header alone has");
  Header h(file, dpx ? kDpxHeader : kCineonHeader);
  if (!h.complete())
    return {};
  h.setBigEndian(magic == (dpx ? kDpxMagic : kCineonMagic));
  return dpx ? dpxProblem(h, length) : cineonProblem(h, length);
}

} // namespace render_command
