#include "runtime/AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "TemporaryNames.h"
#include "runtime/HostError.h"
#include "runtime/LiveTemporaries.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace host_runtime {
namespace {

namespace fs = std::filesystem;

HostError outputError(const std::string& target, const std::string& why)
{
  return HostError(HostError::Kind::Output, "cannot write " + target + ": " + why);
}

// The longest file name the folder takes.
std::size_t longestName(const fs::path& folder)
{
#if !defined(_WIN32)
  const long most = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
  if (most > 0)
    return std::size_t(most);
#else
  (void)folder;
#endif
  return 255;
}

// What stands under a name, for messages: empty for a regular file or nothing at all.
std::string whatIsThere(const fs::path& path)
{
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec || !fs::exists(status) || fs::is_regular_file(status))
    return {};
  if (fs::is_directory(status))
    return "a folder";
  if (fs::is_fifo(status))
    return "a named pipe (FIFO)";
  if (fs::is_block_file(status) || fs::is_character_file(status))
    return "a device";
  if (fs::is_socket(status))
    return "a socket";
  return "not a regular file";
}

// The file a write to `target` lands in: links are followed to the name they give (which need
// not exist yet), so that the file replaced is the one the link names and the link stays.
fs::path followLinks(const std::string& target)
{
  fs::path path(target);
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(path, ec)) || ec)
      return path;
    const fs::path next = fs::read_symlink(path, ec);
    if (ec)
      throw outputError(target, "its link cannot be read (" + ec.message() + ")");
    path = next.is_absolute() ? next : path.parent_path() / next;
  }
  throw outputError(target, "too many levels of links");
}

// Creates the file only when no file of that name exists ("x": C11 exclusive mode), so two
// writers never share a temporary.
bool createExclusively(const fs::path& path)
{
  std::FILE* file = std::fopen(path.string().c_str(), "wbx");
  if (!file)
    return false;
  std::fclose(file);
  return true;
}

#if !defined(_WIN32)
// Writes what a file holds to the disk: a rename is only as good as the data it names.
bool syncFile(const std::string& path, std::string& why)
{
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    why = std::strerror(errno);
    if (fd >= 0)
      ::close(fd);
    return false;
  }
  ::close(fd);
  return true;
}
#endif

} // namespace

AtomicFile::AtomicFile(const std::string& target) : target_(target)
{
  if (fs::path(target).filename().empty())
    throw outputError(target, "not a file name");
  const fs::path path = followLinks(target);
  destination_ = path.string();
  const std::string through =
    destination_ == target ? std::string() : " (the file its link names, " + destination_ + ")";
  // Renaming over a folder, a pipe or a device would replace it, or fail after the work is done.
  const std::string there = whatIsThere(path);
  if (!there.empty())
    throw outputError(target, "it is " + there + through + ", not a file: it is not replaced");
  const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  const std::size_t longest = longestName(folder);
  if (path.filename().string().size() > longest)
    throw outputError(target, "its name" + through + " is " + std::to_string(path.filename().string().size()) +
                                " bytes long; this folder takes names of at most " + std::to_string(longest));
  std::string why;
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    const fs::path candidate = path.parent_path() / temporaryName(path, attempt, longest);
    if (createExclusively(candidate)) {
      temporary_ = candidate.string();
      rememberLiveTemporary(temporary_);
      return;
    }
    why = std::strerror(errno);
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
      why = fs::exists(folder, ec) ? "its folder is not a folder" : "its folder does not exist";
      break;
    }
    if (errno != EEXIST)
      break;
  }
  throw outputError(target, "cannot create a file in its folder (" + why + ")");
}

AtomicFile::~AtomicFile()
{
  discard();
}

void AtomicFile::write(const void* data, std::size_t size)
{
  if (!pending_)
    throw outputError(target_, "already finished");
#if defined(_WIN32)
  std::FILE* file = std::fopen(temporary_.c_str(), "wb");
  const bool written = file && std::fwrite(data, 1, size, file) == size && std::fflush(file) == 0;
  const bool closed = file && std::fclose(file) == 0;
  if (!written || !closed)
    throw outputError(target_, std::strerror(errno));
#else
  const int fd = ::open(temporary_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0)
    throw outputError(target_, std::strerror(errno));
  const char* bytes = static_cast<const char*>(data);
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      const std::string why = n < 0 ? std::strerror(errno) : "nothing more could be written";
      ::close(fd);
      throw outputError(target_, why);
    }
    done += std::size_t(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0)
    throw outputError(target_, std::strerror(errno));
#endif
}

void AtomicFile::commit()
{
  if (!pending_)
    throw outputError(target_, "already finished");
#if !defined(_WIN32)
  std::string why;
  if (!syncFile(temporary_, why)) {
    discard();
    throw outputError(target_, why);
  }
#endif
  std::error_code ec;
  fs::rename(temporary_, destination_, ec);
  if (ec) {
    discard();
    throw outputError(target_, ec.message());
  }
  forgetLiveTemporary(temporary_);
  pending_ = false;
}

void AtomicFile::discard()
{
  if (!pending_)
    return;
  pending_ = false;
  std::error_code ec;
  fs::remove(temporary_, ec);
  forgetLiveTemporary(temporary_);
}

void writeFileAtomically(const std::string& path, const std::string& text)
{
  AtomicFile file(path);
  file.write(text.data(), text.size());
  file.commit();
}

} // namespace host_runtime
