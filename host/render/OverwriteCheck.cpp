#include "render/OverwriteCheck.h"

#include <filesystem>
#include <map>

#include "render/CommandLine.h"

namespace render_command {
namespace {

namespace fs = std::filesystem;

std::string resolved(const std::string& path)
{
  std::error_code ec;
  const fs::path absolute = fs::absolute(path, ec);
  if (ec) return fs::path(path).lexically_normal().string();
  const fs::path full = fs::weakly_canonical(absolute, ec);
  return (ec ? absolute.lexically_normal() : full).string();
}

} // namespace

void refuseOverwritingInputs(const std::vector<NamedFile>& inputs, const std::vector<NamedFile>& outputs)
{
  std::map<std::string, const NamedFile*> read;  // by resolved path
  for (const NamedFile& input : inputs) read.emplace(resolved(input.path), &input);
  for (const NamedFile& output : outputs) {
    const auto it = read.find(resolved(output.path));
    if (it == read.end()) continue;
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
    if (fresh) continue;
    const NamedFile& other = *it->second;
    throw UsageError(output.option + " " + output.path + " and " + other.option + " " + other.path +
                     " name the same file: one would replace the other");
  }
}

} // namespace render_command
