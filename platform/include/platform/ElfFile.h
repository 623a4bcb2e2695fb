// Checks a shared library file before it is handed to the system loader. The loader maps each
// segment the file's program headers name; a segment that reaches beyond the end of a truncated
// file is mapped all the same and faults (SIGBUS) when first touched, killing the process
// instead of failing the load. A whole file never does that, so such a file is reported as
// damaged first. Pure file reading: no loader, no other library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

struct LibraryFileCheck {
  bool ok() const { return problem.empty(); }
  // What is wrong, for a message such as "<file> is damaged: <problem>": "truncated (segment 2
  // ends at byte 81920 of a 40960-byte file)". Empty when the file looks whole.
  std::string problem;
};

// The ELF header and the program and section header tables must lie within the file, and so
// must every segment's bytes. Files that are not ELF files at all, and files that cannot be
// opened, are left to the loader to report (ok). On Windows, always ok.
LibraryFileCheck checkLibraryFile(const std::string& path);

// The same check on a file of `fileSize` bytes read through `readAt`, which fills `size` bytes
// from `offset` and says whether it could.
using ReadAt = std::function<bool(std::uint64_t offset, void* buffer, std::size_t size)>;
LibraryFileCheck checkElfFile(std::uint64_t fileSize, const ReadAt& readAt);

} // namespace platform
