#include "platform/ElfFile.h"

#include <cstring>
#include <fstream>
#include <limits>

namespace platform {
namespace {

// Where the fields of the two ELF classes lie (offsets and widths in bytes).
struct ElfLayout {
  std::size_t headerSize;
  std::size_t phoff, shoff, offsetWidth; // e_phoff, e_shoff and their width
  std::size_t phentsize, phnum, shentsize, shnum;
  std::size_t programHeaderSize, sectionHeaderSize;
  std::size_t segmentOffset, segmentFileSize; // p_offset, p_filesz (offsetWidth wide)
};

constexpr ElfLayout kElf32{52, 28, 32, 4, 42, 44, 46, 48, 32, 40, 4, 16};
constexpr ElfLayout kElf64{64, 32, 40, 8, 54, 56, 58, 60, 56, 64, 8, 32};

class FieldReader {
public:
  explicit FieldReader(bool bigEndian) : bigEndian_(bigEndian) {}
  std::uint64_t operator()(const unsigned char* bytes, std::size_t width) const
  {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) {
      const std::size_t at = bigEndian_ ? i : width - 1 - i;
      v = (v << 8) | bytes[at];
    }
    return v;
  }

private:
  bool bigEndian_;
};

LibraryFileCheck truncated(const std::string& what, std::uint64_t end, std::uint64_t fileSize)
{
  return {"truncated (" + what + " ends at byte " + std::to_string(end) + " of a " + std::to_string(fileSize) +
          "-byte file)"};
}

// offset + count * size, or the largest value when that overflows (it lies beyond any file then).
std::uint64_t endOf(std::uint64_t offset, std::uint64_t count, std::uint64_t size)
{
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (size && count > kMax / size)
    return kMax;
  const std::uint64_t bytes = count * size;
  return offset > kMax - bytes ? kMax : offset + bytes;
}

} // namespace

LibraryFileCheck checkElfFile(std::uint64_t fileSize, const ReadAt& readAt)
{
  unsigned char ident[16];
  if (fileSize < sizeof ident || !readAt(0, ident, sizeof ident) ||
      std::memcmp(ident,
                  "\x7f"
                  "ELF",
                  4) != 0)
    return {};
  if (ident[4] != 1 && ident[4] != 2)
    return {"unknown ELF class " + std::to_string(ident[4])};
  if (ident[5] != 1 && ident[5] != 2)
    return {"unknown ELF byte order " + std::to_string(ident[5])};
  const ElfLayout& layout = ident[4] == 1 ? kElf32 : kElf64;
  const FieldReader field(ident[5] == 2);

  unsigned char header[64];
  if (fileSize < layout.headerSize || !readAt(0, header, layout.headerSize))
    return truncated("the ELF header", layout.headerSize, fileSize);
  const std::uint64_t phoff = field(header + layout.phoff, layout.offsetWidth);
  const std::uint64_t shoff = field(header + layout.shoff, layout.offsetWidth);
  const std::uint64_t phentsize = field(header + layout.phentsize, 2), phnum = field(header + layout.phnum, 2);
  const std::uint64_t shentsize = field(header + layout.shentsize, 2), shnum = field(header + layout.shnum, 2);

  if (phnum > 0 && phentsize < layout.programHeaderSize)
    return {"program headers of " + std::to_string(phentsize) + " bytes"};
  if (shoff != 0 && shnum > 0 && shentsize < layout.sectionHeaderSize)
    return {"section headers of " + std::to_string(shentsize) + " bytes"};
  const std::uint64_t programHeadersEnd = endOf(phoff, phnum, phentsize);
  if (phnum > 0 && programHeadersEnd > fileSize)
    return truncated("the program header table", programHeadersEnd, fileSize);

  unsigned char segment[64];
  for (std::uint64_t i = 0; i < phnum; ++i) {
    if (!readAt(phoff + i * phentsize, segment, layout.programHeaderSize))
      return {"program header " + std::to_string(i) + " cannot be read"};
    const std::uint64_t offset = field(segment + layout.segmentOffset, layout.offsetWidth);
    const std::uint64_t size = field(segment + layout.segmentFileSize, layout.offsetWidth);
    const std::uint64_t end = endOf(offset, 1, size);
    if (size > 0 && end > fileSize)
      return truncated("segment " + std::to_string(i), end, fileSize);
  }
  // The loader does not read them, but a whole file has them: their absence means a cut file.
  if (shoff != 0 && shnum > 0 && endOf(shoff, shnum, shentsize) > fileSize)
    return truncated("the section header table", endOf(shoff, shnum, shentsize), fileSize);
  return {};
}

LibraryFileCheck checkLibraryFile(const std::string& path)
{
#if defined(_WIN32)
  (void)path;
  return {};
#else
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file)
    return {};
  const std::streamoff size = file.tellg();
  if (size < 0)
    return {};
  return checkElfFile(std::uint64_t(size), [&file](std::uint64_t offset, void* buffer, std::size_t count) {
    if (offset > std::uint64_t(std::numeric_limits<std::streamoff>::max()))
      return false;
    file.clear();
    file.seekg(std::streamoff(offset));
    file.read(static_cast<char*>(buffer), std::streamsize(count));
    return bool(file) && std::size_t(file.gcount()) == count;
  });
#endif
}

} // namespace platform
