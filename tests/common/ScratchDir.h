// A fresh directory for one test, unique to the process and the call, removed with the object.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace magnifex::test {

class ScratchDir {
public:
  // Two test runs on one machine (or two processes of one run) never share a directory: mkdtemp
  // picks a name nobody else has.
  explicit ScratchDir(const std::string& prefix = "magnifex-test")
  {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data()))
      throw std::runtime_error("cannot make a scratch directory from " + pattern);
    path_ = pattern;
  }
  ~ScratchDir() { remove_tree(path_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

  // Empties the directory, keeping it.
  void clear() const
  {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(path_, ignored))
      remove_tree(entry.path());
  }

private:
  // Children before parents. Not std::filesystem::remove_all: the libtorch wheel exports its own
  // copy of it, which crashes in processes that load libtorch.
  static void remove_tree(const std::filesystem::path& root)
  {
    std::error_code ignored;
    std::vector<std::filesystem::path> found;
    if (std::filesystem::is_directory(std::filesystem::symlink_status(root, ignored)))
      for (std::filesystem::recursive_directory_iterator it(root, ignored), end; it != end; it.increment(ignored))
        found.push_back(it->path());
    for (auto p = found.rbegin(); p != found.rend(); ++p)
      std::filesystem::remove(*p, ignored);
    std::filesystem::remove(root, ignored);
  }

  std::filesystem::path path_;
};

} // namespace magnifex::test
