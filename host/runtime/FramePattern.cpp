#include "runtime/FramePattern.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace host_runtime {
namespace {

bool allDigits(const std::string& s)
{
  return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

} // namespace

FramePattern::FramePattern(const std::string& pattern) : pattern_(pattern)
{
  // Only the file name may carry the number; directories may hold '#' or '%' of their own.
  const std::size_t nameStart = pattern.find_last_of("/\\") == std::string::npos ? 0 : pattern.find_last_of("/\\") + 1;
  for (std::size_t i = nameStart; i < pattern.size(); ++i) {
    if (pattern[i] == '#') {
      std::size_t j = i;
      while (j < pattern.size() && pattern[j] == '#') ++j;
      prefix_ = pattern.substr(0, i);
      suffix_ = pattern.substr(j);
      width_ = int(j - i);
      hasNumber_ = true;
      return;
    }
    if (pattern[i] == '%') {
      std::size_t j = i + 1;
      while (j < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[j]))) ++j;
      if (j < pattern.size() && pattern[j] == 'd') {
        prefix_ = pattern.substr(0, i);
        suffix_ = pattern.substr(j + 1);
        width_ = j > i + 1 ? std::atoi(pattern.substr(i + 1, j - i - 1).c_str()) : 0;
        hasNumber_ = true;
        return;
      }
    }
  }
}

std::string FramePattern::pathFor(int frame) const
{
  if (!hasNumber_) return pattern_;
  char number[32];
  std::snprintf(number, sizeof number, "%0*d", width_, frame);
  return prefix_ + number + suffix_;
}

std::vector<int> FramePattern::existingFrames() const
{
  namespace fs = std::filesystem;
  std::vector<int> frames;
  if (!hasNumber_) {
    std::error_code ec;
    if (fs::is_regular_file(pattern_, ec)) frames.push_back(1);
    return frames;
  }
  const fs::path prefixPath(prefix_);
  const std::string filePrefix = prefixPath.filename().string();  // empty when prefix_ ends with '/'
  const fs::path dir = prefixPath.parent_path().empty() ? fs::path(".") : prefixPath.parent_path();
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() < filePrefix.size() + suffix_.size()) continue;
    if (name.compare(0, filePrefix.size(), filePrefix) != 0) continue;
    if (name.compare(name.size() - suffix_.size(), suffix_.size(), suffix_) != 0) continue;
    std::string number = name.substr(filePrefix.size(), name.size() - filePrefix.size() - suffix_.size());
    const bool negative = !number.empty() && number[0] == '-';
    const std::string digits = negative ? number.substr(1) : number;
    if (!allDigits(digits)) continue;
    // The file must be the one pathFor() names, so "plate.12.exr" is no frame of "plate.####.exr".
    const int frame = std::atoi(number.c_str());
    if (fs::path(pathFor(frame)).filename().string() != name) continue;
    frames.push_back(frame);
  }
  std::sort(frames.begin(), frames.end());
  frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
  return frames;
}

} // namespace host_runtime
