// The check of library files before they are loaded: made-up ELF files laid out with the
// system's own <elf.h> structures, and truncated copies of a real plug-in file.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/ScratchDir.h"
#include "platform/ElfFile.h"
#include "runtime/HostError.h"
#include "runtime/PluginLibrary.h"
#include "support/HostErrors.h"

#if __has_include(<elf.h>)
#include <elf.h>
#define HAVE_ELF_H 1
#endif

namespace fs = std::filesystem;

namespace {

platform::LibraryFileCheck checkBytes(const std::vector<unsigned char>& bytes)
{
  return platform::checkElfFile(bytes.size(), [&bytes](std::uint64_t offset, void* buffer, std::size_t size) {
    if (offset > bytes.size() || size > bytes.size() - offset)
      return false;
    std::memcpy(buffer, bytes.data() + offset, size);
    return true;
  });
}

#if defined(HAVE_ELF_H)

// Byte order of a field as the file stores it.
template <typename T>
T stored(T value, bool bigEndian)
{
  if (!bigEndian)
    return value; // the tests run on little-endian machines
  T swapped{};
  auto* in = reinterpret_cast<const unsigned char*>(&value);
  auto* out = reinterpret_cast<unsigned char*>(&swapped);
  for (std::size_t i = 0; i < sizeof(T); ++i)
    out[i] = in[sizeof(T) - 1 - i];
  return swapped;
}

struct Segment {
  std::uint64_t offset, size;
};

// A shared object of `fileSize` bytes: header, program headers right after it, `sections`
// section headers at `sectionsAt`.
template <typename Ehdr, typename Phdr, typename Shdr>
std::vector<unsigned char> elfFile(bool bigEndian, const std::vector<Segment>& segments, std::uint64_t sectionsAt,
                                   int sections, std::size_t fileSize)
{
  std::vector<unsigned char> bytes(fileSize, 0);
  Ehdr header{};
  std::memcpy(header.e_ident, ELFMAG, SELFMAG);
  header.e_ident[EI_CLASS] = sizeof(Ehdr) == sizeof(Elf64_Ehdr) ? ELFCLASS64 : ELFCLASS32;
  header.e_ident[EI_DATA] = bigEndian ? ELFDATA2MSB : ELFDATA2LSB;
  header.e_ident[EI_VERSION] = EV_CURRENT;
  header.e_type = stored<decltype(header.e_type)>(ET_DYN, bigEndian);
  header.e_phoff = stored<decltype(header.e_phoff)>(sizeof(Ehdr), bigEndian);
  header.e_phentsize = stored<decltype(header.e_phentsize)>(sizeof(Phdr), bigEndian);
  header.e_phnum = stored<decltype(header.e_phnum)>(segments.size(), bigEndian);
  header.e_shoff = stored<decltype(header.e_shoff)>(sectionsAt, bigEndian);
  header.e_shentsize = stored<decltype(header.e_shentsize)>(sizeof(Shdr), bigEndian);
  header.e_shnum = stored<decltype(header.e_shnum)>(sections, bigEndian);
  std::vector<unsigned char> all(sizeof(Ehdr) + segments.size() * sizeof(Phdr));
  std::memcpy(all.data(), &header, sizeof header);
  for (std::size_t i = 0; i < segments.size(); ++i) {
    Phdr p{};
    p.p_type = stored<decltype(p.p_type)>(PT_LOAD, bigEndian);
    p.p_offset = stored<decltype(p.p_offset)>(segments[i].offset, bigEndian);
    p.p_filesz = stored<decltype(p.p_filesz)>(segments[i].size, bigEndian);
    std::memcpy(all.data() + sizeof(Ehdr) + i * sizeof(Phdr), &p, sizeof p);
  }
  std::memcpy(bytes.data(), all.data(), std::min(all.size(), bytes.size()));
  return bytes;
}

#endif

} // namespace

#if defined(HAVE_ELF_H)
TEST(ElfFile, ReportsHeadersTablesAndSegmentsBeyondTheEndOfTheFile)
{
  using Elf64 = std::vector<unsigned char> (*)(bool, const std::vector<Segment>&, std::uint64_t, int, std::size_t);
  const Elf64 elf64 = elfFile<Elf64_Ehdr, Elf64_Phdr, Elf64_Shdr>;
  const Elf64 elf32 = elfFile<Elf32_Ehdr, Elf32_Phdr, Elf32_Shdr>;
  struct Case {
    const char* what;
    std::vector<unsigned char> bytes;
    const char* problem; // empty: whole
  };
  const std::uint64_t kHuge = ~std::uint64_t(0) - 1;
  const std::vector<Case> cases{
    {"a whole 64-bit file", elf64(false, {{0, 1000}, {1000, 3000}}, 4000, 4, 4000 + 4 * sizeof(Elf64_Shdr)), ""},
    {"a whole 32-bit big-endian file", elf32(true, {{0, 500}, {500, 500}}, 1000, 2, 1000 + 2 * sizeof(Elf32_Shdr)), ""},
    {"no sections at all", elf64(false, {{0, 400}}, 0, 0, 400), ""},
    {"a segment beyond the end", elf64(false, {{0, 1000}, {1000, 3000}}, 0, 0, 3999),
     "segment 1 ends at byte 4000 of a 3999-byte file"},
    {"a 32-bit big-endian segment beyond the end", elf32(true, {{0, 500}, {500, 600}}, 0, 0, 1000),
     "segment 1 ends at byte 1100"},
    {"a segment whose end overflows", elf64(false, {{kHuge, 16}}, 0, 0, 200), "segment 0"},
    {"the section table cut off", elf64(false, {{0, 1000}}, 1000, 4, 1100), "section header table"},
    {"the program header table cut off", elf64(false, {{0, 10}, {0, 10}, {0, 10}}, 0, 0, 100), "program header table"},
    {"the header cut off", elf64(false, {}, 0, 0, 40), "the ELF header ends at byte 64"},
    {"not ELF: left to the loader", std::vector<unsigned char>(2000, 'x'), ""},
    {"empty: left to the loader", {}, ""},
  };
  for (const Case& c : cases) {
    const platform::LibraryFileCheck check = checkBytes(c.bytes);
    if (std::string(c.problem).empty()) {
      EXPECT_TRUE(check.ok()) << c.what << ": " << check.problem;
    } else {
      EXPECT_NE(check.problem.find(c.problem), std::string::npos) << c.what << ": " << check.problem;
      EXPECT_EQ(check.problem.rfind("truncated", 0), 0u) << c.what;
    }
  }
  std::vector<unsigned char> badClass = elf64(false, {{0, 100}}, 0, 0, 100);
  badClass[EI_CLASS] = 7;
  EXPECT_EQ(checkBytes(badClass).problem, "unknown ELF class 7");
}
#endif

// A real plug-in file cut short is refused before the loader maps it (which would crash).
TEST(ElfFile, ATruncatedPluginFileIsReportedAsDamagedWithoutLoadingIt)
{
  const magnifex::test::ScratchDir scratch("elf-file-test");
  const fs::path& dir = scratch.path();
  std::ifstream in(TEST_PLUGIN_PATH, std::ios::binary);
  const std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(whole.size(), 4096u);
  EXPECT_TRUE(platform::checkLibraryFile(TEST_PLUGIN_PATH).ok());
  EXPECT_TRUE(platform::checkLibraryFile((dir / "missing.so").string()).ok()); // the loader says it
  // Cut in the headers, in the segments, and by the last byte alone.
  for (const std::size_t size : {std::size_t(1024), whole.size() / 2, whole.size() * 9 / 10, whole.size() - 1}) {
    const std::string path = (dir / ("cut" + std::to_string(size) + ".so")).string();
    std::ofstream(path, std::ios::binary) << whole.substr(0, size);
    const platform::LibraryFileCheck check = platform::checkLibraryFile(path);
    EXPECT_NE(check.problem.find("truncated"), std::string::npos) << size << ": " << check.problem;
  }
  // The host's loader asks the check first (the command's exit status and the companion library's
  // loader are tested with their own callers).
  const std::string cut = (dir / ("cut" + std::to_string(whole.size() / 2) + ".so")).string();
  try {
    host_runtime::PluginLibrary::load(cut);
    ADD_FAILURE() << "loaded";
  } catch (const host_runtime::HostError& e) {
    EXPECT_EQ(e.kind(), host_runtime::HostError::Kind::PluginLoad);
    EXPECT_NE(std::string(e.what()).find(cut + ": the file is damaged: truncated"), std::string::npos) << e.what();
  }
}
