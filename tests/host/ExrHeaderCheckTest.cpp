#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "imagefiles/ExrHeaderCheck.h"

using render_command::exrHeaderProblem;

namespace {

std::string le32(std::uint32_t v)
{
  return {char(v & 0xff), char((v >> 8) & 0xff), char((v >> 16) & 0xff), char((v >> 24) & 0xff)};
}

// An attribute as OpenEXR stores it: name, type, declared size, then `value` (which may be
// shorter than declared).
std::string attribute(const std::string& name, const std::string& type, std::uint32_t declared,
                      const std::string& value)
{
  return name + '\0' + type + '\0' + le32(declared) + value;
}

const std::string kMagic = "\x76\x2f\x31\x01";
const std::string kSinglePart = le32(2);
const std::string kMultiPart = le32(2 | 0x1000);
const std::string kEndOfHeader(1, '\0');

struct Case {
  const char* what;
  std::string bytes;
  const char* problem; // a part of the expected problem; empty: none
};

template <std::size_t N>
void expectProblems(const Case (&cases)[N])
{
  for (const Case& c : cases) {
    std::istringstream in(c.bytes);
    const std::string problem = exrHeaderProblem(in);
    if (std::string(c.problem).empty())
      EXPECT_EQ(problem, "") << c.what;
    else
      EXPECT_NE(problem.find(c.problem), std::string::npos) << c.what << ": '" << problem << "'";
  }
}

} // namespace

TEST(ExrHeaderCheck, AttributesDeclaringMoreThanTheFileHoldsAreRefused)
{
  const std::string compression = attribute("compression", "compression", 1, std::string(1, '\0'));
  const std::string history = attribute("history", "string", 5, "hello");
  const Case cases[] = {
    {"attributes that fit", kMagic + kSinglePart + compression + history + kEndOfHeader + le32(0), ""},
    {"the last byte of the file", kMagic + kSinglePart + attribute("note", "string", 3, "abc"), ""},
    {"one byte more than follows", kMagic + kSinglePart + compression + attribute("note", "string", 4, "abc"),
     "attribute 'note' (string) declares 4 bytes, but only 3 follow"},
    {"gigabytes in a small file", kMagic + kSinglePart + attribute("Exif:ImageHistory", "string", 1936286720, "oiio"),
     "attribute 'Exif:ImageHistory' (string) declares 1936286720 bytes, but only 4 follow"},
    {"a negative size", kMagic + kSinglePart + attribute("note", "string", 0xffffffffu, "abc"),
     "attribute 'note' (string) declares -1 bytes"},
    {"the second part of a multi-part file",
     kMagic + kMultiPart + history + kEndOfHeader + attribute("name", "string", 99, "x") + kEndOfHeader + kEndOfHeader,
     "attribute 'name' (string) declares 99 bytes"},
    {"parts that fit", kMagic + kMultiPart + history + kEndOfHeader + history + kEndOfHeader + kEndOfHeader, ""},
    // After a single part's header come the offsets, which are no attributes.
    {"bytes after a single header", kMagic + kSinglePart + history + kEndOfHeader + attribute("x", "y", 999, ""), ""},
    {"no OpenEXR file", "\x89PNG\r\n\x1a\n" + attribute("note", "string", 999, ""), ""},
    {"cut short in a name", kMagic + kSinglePart + "compres", ""},
    {"an empty file", "", ""},
  };
  expectProblems(cases);
}

// The library reads these types by their layout: a value of another size would put it out of
// step with the header, and lengths inside a value are set aside before they are read.
TEST(ExrHeaderCheck, ValuesMustHoldWhatTheirTypeReads)
{
  const std::string channel = std::string("R") + '\0' + le32(1) + std::string(4, '\0') + le32(1) + le32(1); // half
  const std::string twoChannels = channel + "G" + channel.substr(1);
  auto header = [](const std::string& attributes) { return kMagic + kSinglePart + attributes + kEndOfHeader; };
  auto sized = [](const std::string& name, const std::string& type, const std::string& value) {
    return attribute(name, type, std::uint32_t(value.size()), value);
  };
  const Case cases[] = {
    {"a box of 16 bytes", header(sized("dataWindow", "box2i", std::string(16, '\0'))), ""},
    {"a box of 4 bytes", header(sized("dataWindow", "box2i", le32(7)) + sized("note", "string", "abc")),
     "attribute 'dataWindow' (box2i) holds 4 bytes, not the 16 of its type"},
    {"a compression of 2 bytes", header(sized("compression", "compression", "ab")), "holds 2 bytes, not the 1"},
    {"an unknown type of any size", header(sized("studio", "studioThing", "0123456789")), ""},
    {"two channels", header(sized("channels", "chlist", twoChannels + '\0')), ""},
    {"channels ending early", header(sized("channels", "chlist", channel + '\0' + "junk")), "channel list"},
    {"channels running on", header(sized("channels", "chlist", channel)), "channel list"},
    {"a channel cut short", header(sized("channels", "chlist", channel.substr(0, 10))), "channel list"},
    {"strings that fit", header(sized("names", "stringvector", le32(3) + "abc" + le32(0))), ""},
    {"a string of gigabytes", header(sized("names", "stringvector", le32(2000000000) + "abc")), "strings"},
    {"a negative string length", header(sized("names", "stringvector", le32(0xfffffff0u))), "strings"},
    {"a length cut short", header(sized("names", "stringvector", le32(3) + "abc" + "xy")), "strings"},
    {"a 2 x 1 preview", header(sized("preview", "preview", le32(2) + le32(1) + std::string(8, 'p'))), ""},
    {"a preview of ten billion pixels", header(sized("preview", "preview", le32(100000) + le32(100000) + "pppp")),
     "more preview pixels"},
    {"a preview without its size", header(sized("preview", "preview", "pp")), "more preview pixels"},
    {"two floats", header(sized("weights", "floatvector", std::string(8, '\0'))), ""},
    {"a float and a half", header(sized("weights", "floatvector", std::string(6, '\0'))), "part of a float"},
  };
  expectProblems(cases);
}

// The library sets aside line buffers for the declared windows as it opens a file, so they meet
// the program's limits (ImageLimits) first.
TEST(ExrHeaderCheck, DeclaredImagesMeetTheImageLimitsBeforeTheLibraryOpensThem)
{
  auto box = [](std::int32_t xMin, std::int32_t yMin, std::int32_t xMax, std::int32_t yMax) {
    return le32(std::uint32_t(xMin)) + le32(std::uint32_t(yMin)) + le32(std::uint32_t(xMax)) +
           le32(std::uint32_t(yMax));
  };
  const std::string half(16, '\0');
  const std::string rgb = std::string("B") + '\0' + half + "G" + '\0' + half + "R" + '\0' + half + '\0';
  auto header = [&](const std::string& dataWindow, const std::string& displayWindow) {
    return kMagic + kSinglePart + attribute("channels", "chlist", std::uint32_t(rgb.size()), rgb) +
           attribute("dataWindow", "box2i", 16, dataWindow) + attribute("displayWindow", "box2i", 16, displayWindow) +
           kEndOfHeader;
  };
  const std::string hd = box(0, 0, 1919, 1079);
  const Case cases[] = {
    {"a plate", header(box(-8, -8, 1927, 1087), hd), ""},
    {"a window of 2^30 lines", header(box(0, 0, 0, (1 << 30) - 1), hd), "coordinates must lie within"},
    {"a window of 46341 squared pixels", header(box(0, 0, 46340, 46340), hd),
     "image too large (46341 x 46341 pixels of 3"},
    {"an empty window", header(box(5, 0, 4, 0), hd), "empty image"},
  };
  expectProblems(cases);

  std::istringstream plate(header(box(-8, -4, 1927, 1087), hd));
  const std::vector<render_command::DeclaredImage> images = render_command::exrDeclaredImages(plate);
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(images[0].x, -8);
  EXPECT_EQ(images[0].y, -4);
  EXPECT_EQ(images[0].width, 1936);
  EXPECT_EQ(images[0].height, 1092);
  EXPECT_EQ(images[0].fullWidth, 1920);
  EXPECT_EQ(images[0].fullHeight, 1080);
  EXPECT_EQ(images[0].channels, 3);

  // Windows a header leaves out are the library's default: 64 x 64 at 0, 0.
  std::istringstream channelsOnly(kMagic + kSinglePart +
                                  attribute("channels", "chlist", std::uint32_t(rgb.size()), rgb) + kEndOfHeader);
  const std::vector<render_command::DeclaredImage> defaults = render_command::exrDeclaredImages(channelsOnly);
  ASSERT_EQ(defaults.size(), 1u);
  EXPECT_EQ(defaults[0].x, 0);
  EXPECT_EQ(defaults[0].width, 64);
  EXPECT_EQ(defaults[0].fullHeight, 64);
  EXPECT_EQ(defaults[0].channels, 3);
}
