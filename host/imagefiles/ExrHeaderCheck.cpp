#include "imagefiles/ExrHeaderCheck.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

namespace render_command {
namespace {

constexpr unsigned char kMagic[4] = {0x76, 0x2f, 0x31, 0x01};
constexpr std::uint32_t kMultiPartFlag = 0x1000;
// Attribute, type and channel names hold at most 255 characters.
constexpr std::size_t kMaxNameLength = 255;
constexpr std::int64_t kDefaultWindowSize = 64;

// The bytes the library reads for each type of fixed layout, whatever size the file declares.
const std::map<std::string, std::size_t>& fixedSizes()
{
  static const std::map<std::string, std::size_t> sizes{{"box2i", 16},
                                                        {"box2f", 16},
                                                        {"chromaticities", 32},
                                                        {"compression", 1},
                                                        {"deepImageState", 1},
                                                        {"double", 8},
                                                        {"envmap", 1},
                                                        {"float", 4},
                                                        {"int", 4},
                                                        {"keycode", 28},
                                                        {"lineOrder", 1},
                                                        {"m33d", 72},
                                                        {"m33f", 36},
                                                        {"m44d", 128},
                                                        {"m44f", 64},
                                                        {"rational", 8},
                                                        {"tiledesc", 9},
                                                        {"timecode", 8},
                                                        {"v2d", 16},
                                                        {"v2f", 8},
                                                        {"v2i", 8},
                                                        {"v3d", 24},
                                                        {"v3f", 12},
                                                        {"v3i", 12}};
  return sizes;
}

std::uint32_t uint32At(const std::string& bytes, std::size_t at)
{
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = v << 8 | std::uint8_t(bytes[at + std::size_t(i)]);
  return v;
}

bool readUInt32(std::istream& in, std::uint32_t& value)
{
  char b[4];
  if (!in.read(b, 4))
    return false;
  value = uint32At(std::string(b, 4), 0);
  return true;
}

// A NUL-terminated name; false when the file ends first or it is too long to be a name.
bool readName(std::istream& in, std::string& name)
{
  name.clear();
  for (char c; in.get(c);) {
    if (c == '\0')
      return true;
    if (name.size() == kMaxNameLength)
      return false;
    name += c;
  }
  return false;
}

// Channels: a name, 16 bytes of layout, ..., and an empty name, which must be the last byte.
bool channelListFits(const std::string& value)
{
  for (std::size_t at = 0; at < value.size();) {
    const std::size_t end = value.find('\0', at);
    if (end == std::string::npos || end - at > kMaxNameLength)
      return false;
    if (end == at)
      return end + 1 == value.size();
    at = end + 1 + 16;
  }
  return false;
}

// Strings, each after its length, filling the value exactly.
bool stringListFits(const std::string& value)
{
  std::size_t at = 0;
  while (at < value.size()) {
    if (value.size() - at < 4)
      return false;
    const std::int32_t length = std::int32_t(uint32At(value, at));
    if (length < 0 || std::size_t(length) > value.size() - at - 4)
      return false;
    at += 4 + std::size_t(length);
  }
  return true;
}

// Width, height, then 4 bytes per pixel.
bool previewFits(const std::string& value)
{
  if (value.size() < 8)
    return false;
  const std::uint64_t pixels = std::uint64_t(uint32At(value, 0)) * uint32At(value, 4);
  return pixels <= (value.size() - 8) / 4 && 8 + 4 * pixels == value.size();
}

// What does not fit in an attribute's value: the library reads the types it knows by their own
// layout, not by the declared size, and sets aside what lengths inside them declare.
std::string valueProblem(const std::string& type, const std::string& value)
{
  const auto fixed = fixedSizes().find(type);
  if (fixed != fixedSizes().end() && value.size() != fixed->second)
    return "holds " + std::to_string(value.size()) + " bytes, not the " + std::to_string(fixed->second) +
           " of its type";
  if (type == "chlist" && !channelListFits(value))
    return "holds a channel list that does not end where the attribute does";
  if (type == "stringvector" && !stringListFits(value))
    return "holds strings that do not end where the attribute does";
  if (type == "preview" && !previewFits(value))
    return "declares more preview pixels than it holds";
  if (type == "floatvector" && value.size() % 4 != 0)
    return "holds a part of a float";
  return {};
}

// An attribute value as a window, in the way DeclaredImage counts it.
void readWindow(const std::string& box, std::int64_t& x, std::int64_t& y, std::int64_t& width, std::int64_t& height)
{
  auto at = [&box](std::size_t i) { return std::int64_t(std::int32_t(uint32At(box, 4 * i))); };
  x = at(0);
  y = at(1);
  width = at(2) - at(0) + 1;
  height = at(3) - at(1) + 1;
}

std::size_t channelCount(const std::string& channelList)
{
  std::size_t count = 0;
  for (std::size_t at = 0; at < channelList.size() && channelList[at] != '\0'; ++count)
    at = channelList.find('\0', at) + 1 + 16;
  return count;
}

// Walks the headers, collecting the image each part declares; what is impossible in them.
std::string walkHeaders(std::istream& file, std::vector<DeclaredImage>& images)
{
  file.seekg(0, std::ios::end);
  const std::streamoff fileSize = file.tellg();
  file.seekg(0);
  char magic[4];
  std::uint32_t version = 0;
  if (!file.read(magic, 4) || std::memcmp(magic, kMagic, 4) != 0 || !readUInt32(file, version))
    return {};
  // A single-part file has one header; a multi-part one a list of them, ended by an empty one.
  const bool multiPart = (version & kMultiPartFlag) != 0;
  for (;;) {
    bool emptyHeader = true;
    // The library's defaults for windows a header leaves out.
    DeclaredImage image;
    image.width = image.height = image.fullWidth = image.fullHeight = kDefaultWindowSize;
    for (std::string name, type, value;;) {
      if (!readName(file, name))
        return {};
      if (name.empty())
        break; // the end of this header
      emptyHeader = false;
      std::uint32_t size = 0;
      if (!readName(file, type) || !readUInt32(file, size))
        return {};
      const std::string attribute = "its OpenEXR header attribute '" + name + "' (" + type + ") ";
      const std::streamoff left = fileSize - file.tellg();
      if (std::int32_t(size) < 0 || std::streamoff(size) > left)
        return attribute + "declares " + std::to_string(std::int32_t(size)) + " bytes, but only " +
               std::to_string(left) + " follow in the file";
      value.resize(size);
      if (!file.read(&value[0], std::streamsize(size)))
        return {};
      const std::string problem = valueProblem(type, value);
      if (!problem.empty())
        return attribute + problem;
      if (name == "dataWindow" && type == "box2i")
        readWindow(value, image.x, image.y, image.width, image.height);
      else if (name == "displayWindow" && type == "box2i")
        readWindow(value, image.fullX, image.fullY, image.fullWidth, image.fullHeight);
      else if (name == "channels" && type == "chlist")
        image.channels = std::int64_t(channelCount(value));
    }
    if (emptyHeader)
      return {};
    images.push_back(image);
    if (!multiPart)
      return {};
  }
}

} // namespace

std::string exrHeaderProblem(std::istream& file)
{
  std::vector<DeclaredImage> images;
  const std::string problem = walkHeaders(file, images);
  if (!problem.empty())
    return problem;
  // The library sets aside buffers for the lines of the declared windows as it opens the file.
  for (const DeclaredImage& image : images) {
    if (image.channels == 0)
      continue; // nothing to set aside; the reader refuses it once opened
    const std::string sizeProblem = imageSizeProblem(image);
    if (!sizeProblem.empty())
      return sizeProblem;
  }
  return {};
}

std::vector<DeclaredImage> exrDeclaredImages(std::istream& file)
{
  std::vector<DeclaredImage> images;
  walkHeaders(file, images);
  return images;
}

} // namespace render_command
