#include "TemporaryNames.h"

#include <atomic>
#include <cctype>
#include <sstream>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace host_runtime {

long processId()
{
#if defined(_WIN32)
  return long(_getpid());
#else
  return long(getpid());
#endif
}

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

std::string temporaryName(const std::filesystem::path& target, unsigned attempt, std::size_t longest)
{
  static std::atomic<unsigned> counter{0};
  const std::string owner = "." + machineName() + "-" + std::to_string(processId()) + "-" + std::to_string(++counter) +
                            "-" + std::to_string(attempt) + ".tmp";
  std::string name = target.filename().string();
  if (1 + name.size() + owner.size() > longest && longest > owner.size() + 2)
    name.resize(longest - owner.size() - 1);
  return "." + name + owner;
}

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

} // namespace host_runtime
