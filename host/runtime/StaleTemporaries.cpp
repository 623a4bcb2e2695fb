#include "runtime/StaleTemporaries.h"

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "TemporaryNames.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace host_runtime {
namespace {

namespace fs = std::filesystem;

#if !defined(_WIN32)
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

} // namespace host_runtime
