// A private folder under the system's temporary folder, for targets whose input must be files.
// Emptied for each input; removed when the program ends normally.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace magnifex_fuzz {

class ScratchFolder {
public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Removes everything inside.
  void clear() const;
  // A file of the folder holding these bytes; its path.
  std::filesystem::path write(const std::string& name, const std::uint8_t* data, std::size_t size) const;

private:
  std::filesystem::path path_;
};

// The program's one scratch folder.
const ScratchFolder& scratchFolder();

} // namespace magnifex_fuzz
