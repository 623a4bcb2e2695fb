#include "support/ScratchFolder.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace magnifex_fuzz {

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder()
{
  std::string pattern = (fs::temp_directory_path() / "magnifex-fuzz-XXXXXX").string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!mkdtemp(name.data()))
    throw std::runtime_error("cannot make a folder like " + pattern);
  path_ = name.data();
}

ScratchFolder::~ScratchFolder()
{
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void ScratchFolder::clear() const
{
  std::error_code ec;
  std::vector<fs::path> entries; // listed first: removing while listing may skip entries
  for (fs::directory_iterator it(path_, ec), end; !ec && it != end; it.increment(ec))
    entries.push_back(it->path());
  for (const fs::path& entry : entries)
    fs::remove_all(entry, ec);
}

fs::path ScratchFolder::write(const std::string& name, const std::uint8_t* data, std::size_t size) const
{
  const fs::path file = path_ / name;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
  if (!out)
    throw std::runtime_error("cannot write " + file.string());
  return file;
}

const ScratchFolder& scratchFolder()
{
  static const ScratchFolder folder;
  return folder;
}

} // namespace magnifex_fuzz
