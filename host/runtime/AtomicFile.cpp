#include "runtime/AtomicFile.h"

#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "runtime/HostError.h"

#if defined(_WIN32)
#include <process.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace host_runtime {
namespace {

namespace fs = std::filesystem;

HostError outputError(const std::string& target, const std::string& why)
{
  return HostError(HostError::Kind::Output, "cannot write " + target + ": " + why);
}

long processId()
{
#if defined(_WIN32)
  return long(_getpid());
#else
  return long(getpid());
#endif
}

// The machine's name as it can stand in a file name: letters, digits and '_' (a shared folder
// on a farm holds temporaries of several machines, whose process numbers mean nothing here).
const std::string& machineName()
{
  static const std::string name = [] {
    std::string n;
#if !defined(_WIN32)
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) == 0)
      n = buffer;
#endif
    for (char& c : n)
      if (!std::isalnum(static_cast<unsigned char>(c)))
        c = '_';
    return n.empty() ? std::string("host") : n;
  }();
  return name;
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

// ".<target name>.<machine>-<process>-<count>-<attempt>.tmp": hidden, and matched by no frame
// pattern of the target (it ends in .tmp, not in the target's extension). A target name near the
// longest the folder takes is cut short in it, so that every name that can be written can be
// written this way.
std::string temporaryName(const fs::path& target, unsigned attempt, std::size_t longest)
{
  static std::atomic<unsigned> counter{0};
  const std::string owner = "." + machineName() + "-" + std::to_string(processId()) + "-" + std::to_string(++counter) +
                            "-" + std::to_string(attempt) + ".tmp";
  std::string name = target.filename().string();
  if (1 + name.size() + owner.size() > longest && longest > owner.size() + 2)
    name.resize(longest - owner.size() - 1);
  return "." + name + owner;
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

struct TemporaryOwner {
  std::string machine;
  long process = 0;
};

// The owner named by a temporary's name, if it is one of ours.
bool parseTemporaryName(const std::string& name, TemporaryOwner& owner)
{
  const std::string suffix = ".tmp";
  if (name.size() < 2 || name[0] != '.' || name.size() <= suffix.size() ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  const std::string stem = name.substr(0, name.size() - suffix.size());
  const std::size_t dot = stem.rfind('.');
  if (dot == 0 || dot == std::string::npos)
    return false;
  std::vector<std::string> fields;
  std::stringstream words(stem.substr(dot + 1));
  for (std::string field; std::getline(words, field, '-');)
    fields.push_back(field);
  if (fields.size() != 4 || fields[0].empty())
    return false;
  for (std::size_t i = 1; i < 4; ++i)
    if (fields[i].empty() || fields[i].size() > 18 || fields[i].find_first_not_of("0123456789") != std::string::npos)
      return false;
  owner.machine = fields[0];
  owner.process = std::stol(fields[1]);
  return true;
}

// Temporaries not committed yet, where a signal handler can reach them: fixed storage, no locks.
struct Slot {
  std::atomic<int> state{0}; // 0 free, 1 being filled, 2 holds a path
  std::array<char, 4096> path{};
};
std::array<Slot, 64> liveTemporaries;

void remember(const std::string& path)
{
  if (path.size() >= liveTemporaries[0].path.size())
    return;
  for (Slot& slot : liveTemporaries) {
    int expected = 0;
    if (!slot.state.compare_exchange_strong(expected, 1))
      continue;
    std::memcpy(slot.path.data(), path.c_str(), path.size() + 1);
    slot.state.store(2);
    return;
  }
}

void forget(const std::string& path)
{
  for (Slot& slot : liveTemporaries) {
    int expected = 2;
    if (slot.state.load() != 2 || path != slot.path.data())
      continue;
    if (slot.state.compare_exchange_strong(expected, 1)) {
      slot.path[0] = '\0';
      slot.state.store(0);
    }
    return;
  }
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

// Whether `process` on this machine started after `time` or does not run at all.
bool processGoneOrYounger(long process, std::time_t time)
{
  if (process <= 0)
    return true;
  if (::kill(pid_t(process), 0) != 0 && errno == ESRCH)
    return true;
#if defined(__linux__)
  // Field 22 of /proc/<pid>/stat: the start in clock ticks after boot; btime in /proc/stat.
  std::ifstream stat("/proc/" + std::to_string(process) + "/stat");
  std::string line;
  if (!std::getline(stat, line))
    return true;
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos)
    return false;
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
  }
  unsigned long long ticks = 0;
  try {
    ticks = std::stoull(field);
  } catch (const std::exception&) {
    return false;
  }
  std::ifstream system("/proc/stat");
  long long boot = 0;
  for (std::string key; system >> key;)
    if (key == "btime") {
      system >> boot;
      break;
    }
  const long hz = sysconf(_SC_CLK_TCK);
  if (boot <= 0 || hz <= 0)
    return false;
  const long long started = boot + static_cast<long long>(ticks / static_cast<unsigned long long>(hz));
  return started > static_cast<long long>(time) + 1; // the clock tick rounds down
#else
  (void)time;
  return false;
#endif
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
      remember(temporary_);
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
  forget(temporary_);
  pending_ = false;
}

void AtomicFile::discard()
{
  if (!pending_)
    return;
  pending_ = false;
  std::error_code ec;
  fs::remove(temporary_, ec);
  forget(temporary_);
}

void writeFileAtomically(const std::string& path, const std::string& text)
{
  AtomicFile file(path);
  file.write(text.data(), text.size());
  file.commit();
}

int removeStaleTemporaries(const std::string& folder)
{
  int removed = 0;
#if !defined(_WIN32)
  std::error_code ec;
  for (fs::directory_iterator it(folder.empty() ? "." : folder, ec), end; !ec && it != end; it.increment(ec)) {
    TemporaryOwner owner;
    if (!parseTemporaryName(it->path().filename().string(), owner) || owner.machine != machineName())
      continue;
    if (owner.process == processId())
      continue;
    struct stat info;
    if (::lstat(it->path().c_str(), &info) != 0 || !S_ISREG(info.st_mode))
      continue;
    if (!processGoneOrYounger(owner.process, info.st_mtime))
      continue;
    std::error_code removeError;
    if (fs::remove(it->path(), removeError))
      ++removed;
  }
#else
  (void)folder;
#endif
  return removed;
}

void removeOwnTemporariesNow()
{
  for (Slot& slot : liveTemporaries)
    if (slot.state.load() == 2) {
#if defined(_WIN32)
      std::remove(slot.path.data());
#else
      ::unlink(slot.path.data());
#endif
    }
}

} // namespace host_runtime
