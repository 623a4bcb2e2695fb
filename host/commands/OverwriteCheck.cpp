#include "commands/OverwriteCheck.h"

#include <cctype>
#include <filesystem>
#include <map>

#include "commands/CommandLine.h"

namespace render_command {
namespace {

namespace fs = std::filesystem;

std::string resolved(const std::string& path)
{
  std::error_code ec;
  const fs::path absolute = fs::absolute(path, ec);
  if (ec)
    return fs::path(path).lexically_normal().string();
  const fs::path full = fs::weakly_canonical(absolute, ec);
  return (ec ? absolute.lexically_normal() : full).string();
}

// The frame numbers a file name could be of: its runs of digits, a '-' before one included.
std::vector<int> numbersIn(const std::string& name)
{
  std::vector<int> numbers;
  for (std::size_t at = 0; at < name.size();) {
    if (!std::isdigit(static_cast<unsigned char>(name[at]))) {
      ++at;
      continue;
    }
    std::size_t end = at;
    while (end < name.size() && std::isdigit(static_cast<unsigned char>(name[end])))
      ++end;
    const std::size_t start = at > 0 && name[at - 1] == '-' ? at - 1 : at;
    if (end - at <= 9)
      numbers.push_back(std::stoi(name.substr(start, end - start)));
    at = end;
  }
  return numbers;
}

} // namespace

void refuseOverwritingInputs(const std::vector<NamedFile>& inputs, const std::vector<NamedFile>& outputs)
{
  std::map<std::string, const NamedFile*> read; // by resolved path
  for (const NamedFile& input : inputs)
    read.emplace(resolved(input.path), &input);
  for (const NamedFile& output : outputs) {
    const auto it = read.find(resolved(output.path));
    if (it == read.end())
      continue;
    const NamedFile& input = *it->second;
    throw UsageError(output.option + " " + output.path + " is the file read by " + input.option + " (" + input.path +
                     "): refusing to write over an input");
  }
}

void refuseOutputsNamingEachOther(const std::vector<NamedFile>& outputs)
{
  std::map<std::string, const NamedFile*> written;
  for (const NamedFile& output : outputs) {
    const auto [it, fresh] = written.emplace(resolved(output.path), &output);
    if (fresh)
      continue;
    const NamedFile& other = *it->second;
    throw UsageError(output.option + " " + output.path + " and " + other.option + " " + other.path +
                     " name the same file: one would replace the other");
  }
}

std::vector<NamedFile> patternFilesNamedBy(const std::vector<NamedFile>& files,
                                           const host_runtime::FramePattern& pattern, std::pair<int, int> frames,
                                           const std::string& option)
{
  std::vector<NamedFile> named;
  for (const NamedFile& f : files)
    for (int n : numbersIn(fs::path(f.path).filename().string()))
      if (n >= frames.first && n <= frames.second)
        named.push_back({option, pattern.pathFor(n)});
  return named;
}

} // namespace render_command
