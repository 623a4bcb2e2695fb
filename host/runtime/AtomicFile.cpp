#include "runtime/AtomicFile.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "runtime/HostError.h"

namespace host_runtime {
namespace {

namespace fs = std::filesystem;

// A hidden name that no frame pattern of the target matches (it ends in .tmp, not in the
// target's extension), unique within this process and unlikely to meet another process's.
std::string temporaryName(const fs::path& target, unsigned attempt)
{
  static std::atomic<unsigned> counter{0};
  static const unsigned session = std::random_device{}();
  return "." + target.filename().string() + "." + std::to_string(session) + "-" + std::to_string(++counter) + "-" +
         std::to_string(attempt) + ".tmp";
}

// Creates the file only when no file of that name exists ("x": C11 exclusive mode), so two
// writers never share a temporary.
bool createExclusively(const fs::path& path)
{
  std::FILE* file = std::fopen(path.string().c_str(), "wbx");
  if (!file) return false;
  std::fclose(file);
  return true;
}

} // namespace

AtomicFile::AtomicFile(const std::string& target) : target_(target)
{
  const fs::path path(target);
  if (path.filename().empty()) throw HostError(HostError::Kind::Output, "cannot write " + target + ": not a file name");
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    const fs::path candidate = path.parent_path() / temporaryName(path, attempt);
    if (createExclusively(candidate)) {
      temporary_ = candidate.string();
      return;
    }
    std::error_code ec;
    if (!fs::is_directory(path.parent_path().empty() ? fs::path(".") : path.parent_path(), ec)) break;
  }
  throw HostError(HostError::Kind::Output, "cannot write " + target + ": cannot create a file in its folder");
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::commit()
{
  if (!pending_) throw HostError(HostError::Kind::Output, "cannot write " + target_ + ": already finished");
  std::error_code ec;
  fs::rename(temporary_, target_, ec);
  if (ec) {
    discard();
    throw HostError(HostError::Kind::Output, "cannot write " + target_ + ": " + ec.message());
  }
  pending_ = false;
}

void AtomicFile::discard()
{
  if (!pending_) return;
  pending_ = false;
  std::error_code ec;
  fs::remove(temporary_, ec);
}

void writeFileAtomically(const std::string& path, const std::string& text)
{
  AtomicFile file(path);
  {
    std::ofstream out(file.temporaryPath(), std::ios::binary | std::ios::trunc);
    if (!(out << text) || !out.flush()) throw HostError(HostError::Kind::Output, "cannot write " + path);
  }
  file.commit();
}

} // namespace host_runtime
