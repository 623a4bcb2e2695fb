#include "render/ExrHeaderCheck.h"

#include <algorithm>
#include <cstdint>

namespace render_command {
namespace {

constexpr unsigned char kMagic[4] = {0x76, 0x2f, 0x31, 0x01};
constexpr std::uint32_t kMultiPartFlag = 0x1000;
// Attribute and type names hold at most 255 characters (31 in older files).
constexpr std::size_t kMaxNameLength = 255;

bool readUInt32(std::istream& in, std::uint32_t& value)
{
  unsigned char b[4];
  if (!in.read(reinterpret_cast<char*>(b), 4)) return false;
  value = std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
  return true;
}

// A NUL-terminated name; false when the file ends first or it is too long to be a name.
bool readName(std::istream& in, std::string& name)
{
  name.clear();
  for (char c; in.get(c);) {
    if (c == '\0') return true;
    if (name.size() == kMaxNameLength) return false;
    name += c;
  }
  return false;
}

} // namespace

std::string exrHeaderProblem(std::istream& file)
{
  file.seekg(0, std::ios::end);
  const std::streamoff fileSize = file.tellg();
  file.seekg(0);
  unsigned char magic[4];
  std::uint32_t version = 0;
  if (!file.read(reinterpret_cast<char*>(magic), 4) || !std::equal(magic, magic + 4, kMagic) || !readUInt32(file, version))
    return {};
  // A single-part file has one header; a multi-part one a list of them, ended by an empty one.
  const bool multiPart = (version & kMultiPartFlag) != 0;
  for (;;) {
    bool emptyHeader = true;
    for (std::string name, type;;) {
      if (!readName(file, name)) return {};
      if (name.empty()) break;  // the end of this header
      emptyHeader = false;
      std::uint32_t size = 0;
      if (!readName(file, type) || !readUInt32(file, size)) return {};
      const std::streamoff left = fileSize - file.tellg();
      if (std::int32_t(size) < 0 || std::streamoff(size) > left)
        return "its OpenEXR header attribute '" + name + "' declares " + std::to_string(std::int32_t(size)) +
               " bytes, but only " + std::to_string(left) + " follow in the file";
      file.seekg(std::streamoff(size), std::ios::cur);
    }
    if (!multiPart || emptyHeader) return {};
  }
}

} // namespace render_command
