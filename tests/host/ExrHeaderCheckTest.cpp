#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>

#include "render/ExrHeaderCheck.h"

using render_command::exrHeaderProblem;

namespace {

std::string le32(std::uint32_t v)
{
  return {char(v & 0xff), char((v >> 8) & 0xff), char((v >> 16) & 0xff), char((v >> 24) & 0xff)};
}

// An attribute as OpenEXR stores it: name, type, declared size, then `value` (which may be
// shorter than declared).
std::string attribute(const std::string& name, const std::string& type, std::uint32_t declared, const std::string& value)
{
  return name + '\0' + type + '\0' + le32(declared) + value;
}

const std::string kMagic = "\x76\x2f\x31\x01";
const std::string kSinglePart = le32(2);
const std::string kMultiPart = le32(2 | 0x1000);
const std::string kEndOfHeader(1, '\0');

std::string problemOf(const std::string& bytes)
{
  std::istringstream in(bytes);
  return exrHeaderProblem(in);
}

} // namespace

TEST(ExrHeaderCheck, AttributesDeclaringMoreThanTheFileHoldsAreRefused)
{
  const std::string compression = attribute("compression", "compression", 1, std::string(1, '\0'));
  const std::string history = attribute("history", "string", 5, "hello");
  struct Case {
    const char* what;
    std::string bytes;
    const char* problem;  // empty: none
  };
  const Case cases[] = {
      {"attributes that fit", kMagic + kSinglePart + compression + history + kEndOfHeader + le32(0), ""},
      {"the last byte of the file", kMagic + kSinglePart + attribute("note", "string", 3, "abc"), ""},
      {"one byte more than follows", kMagic + kSinglePart + compression + attribute("note", "string", 4, "abc"),
       "attribute 'note' declares 4 bytes, but only 3 follow"},
      {"gigabytes in a small file", kMagic + kSinglePart + attribute("Exif:ImageHistory", "string", 1936286720, "oiio"),
       "attribute 'Exif:ImageHistory' declares 1936286720 bytes, but only 4 follow"},
      {"a negative size", kMagic + kSinglePart + attribute("note", "string", 0xffffffffu, "abc"),
       "attribute 'note' declares -1 bytes"},
      {"the second part of a multi-part file",
       kMagic + kMultiPart + history + kEndOfHeader + attribute("name", "string", 99, "x") + kEndOfHeader + kEndOfHeader,
       "attribute 'name' declares 99 bytes"},
      {"parts that fit", kMagic + kMultiPart + history + kEndOfHeader + history + kEndOfHeader + kEndOfHeader, ""},
      // After a single part's header come the offsets, which are no attributes.
      {"bytes after a single header", kMagic + kSinglePart + history + kEndOfHeader + attribute("x", "y", 999, ""), ""},
      {"no OpenEXR file", "\x89PNG\r\n\x1a\n" + attribute("note", "string", 999, ""), ""},
      {"cut short in a name", kMagic + kSinglePart + "compres", ""},
      {"an empty file", "", ""},
  };
  for (const Case& c : cases) {
    const std::string problem = problemOf(c.bytes);
    if (std::string(c.problem).empty()) {
      EXPECT_EQ(problem, "") << c.what;
    } else {
      EXPECT_NE(problem.find(c.problem), std::string::npos) << c.what << ": " << problem;
    }
  }
}
