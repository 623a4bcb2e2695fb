#include "runtime/FramePattern.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "runtime/HostError.h"

namespace host_runtime {
namespace {

bool allDigits(const std::string& s)
{
  return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

// The int a run of digits (with an optional '-') names; false when it is beyond an int.
bool frameNumber(const std::string& text, int& frame)
{
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno || !end || *end || v < INT_MIN || v > INT_MAX)
    return false;
  frame = int(v);
  return true;
}

} // namespace

FramePattern::FramePattern(const std::string& pattern) : pattern_(pattern)
{
  if (pattern.size() > kMaxPatternLength)
    throw HostError(HostError::Kind::BadPattern, "file name pattern longer than " + std::to_string(kMaxPatternLength) +
                                                   " characters: " + pattern.substr(0, 64) + "...");
  // Only the file name may carry the number; directories may hold '#' or '%' of their own.
  const std::size_t nameStart = pattern.find_last_of("/\\") == std::string::npos ? 0 : pattern.find_last_of("/\\") + 1;
  for (std::size_t i = nameStart; i < pattern.size() && !hasNumber_; ++i) {
    if (pattern[i] == '#') {
      std::size_t j = i;
      while (j < pattern.size() && pattern[j] == '#')
        ++j;
      prefix_ = pattern.substr(0, i);
      suffix_ = pattern.substr(j);
      width_ = int(std::min<std::size_t>(j - i, kMaxFrameDigits + 1));
      hasNumber_ = true;
    } else if (pattern[i] == '%') {
      std::size_t j = i + 1;
      while (j < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[j])))
        ++j;
      if (j < pattern.size() && pattern[j] == 'd') {
        prefix_ = pattern.substr(0, i);
        suffix_ = pattern.substr(j + 1);
        // Read as many digits as make a width; more than that is too wide anyway.
        const std::string digits = pattern.substr(i + 1, std::min<std::size_t>(j - i - 1, 3));
        width_ = j - i - 1 > 3 ? kMaxFrameDigits + 1 : digits.empty() ? 0 : std::atoi(digits.c_str());
        hasNumber_ = true;
      }
    }
  }
  if (width_ > kMaxFrameDigits)
    throw HostError(HostError::Kind::BadPattern, "frame numbers wider than " + std::to_string(kMaxFrameDigits) +
                                                   " digits in " + pattern.substr(0, 256));
}

std::string FramePattern::pathFor(int frame) const
{
  if (!hasNumber_)
    return pattern_;
  char number[kMaxFrameDigits + 16]; // the width, a sign and any int
  std::snprintf(number, sizeof number, "%0*d", width_, frame);
  return prefix_ + number + suffix_;
}

std::vector<int> FramePattern::existingFrames(std::vector<std::string>* beyond) const
{
  namespace fs = std::filesystem;
  std::vector<int> frames;
  if (!hasNumber_) {
    std::error_code ec;
    if (fs::is_regular_file(pattern_, ec))
      frames.push_back(1);
    return frames;
  }
  const fs::path prefixPath(prefix_);
  const std::string filePrefix = prefixPath.filename().string(); // empty when prefix_ ends with '/'
  const fs::path dir = prefixPath.parent_path().empty() ? fs::path(".") : prefixPath.parent_path();
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() < filePrefix.size() + suffix_.size())
      continue;
    if (name.compare(0, filePrefix.size(), filePrefix) != 0)
      continue;
    if (name.compare(name.size() - suffix_.size(), suffix_.size(), suffix_) != 0)
      continue;
    std::string number = name.substr(filePrefix.size(), name.size() - filePrefix.size() - suffix_.size());
    const bool negative = !number.empty() && number[0] == '-';
    const std::string digits = negative ? number.substr(1) : number;
    if (!allDigits(digits))
      continue;
    int frame = 0;
    if (!frameNumber(number, frame)) {
      if (beyond && (width_ == 0 || digits.size() >= std::size_t(width_)))
        beyond->push_back(it->path().string());
      continue; // beyond any frame
    }
    // The file must be the one pathFor() names, so "plate.12.exr" is no frame of "plate.####.exr".
    if (fs::path(pathFor(frame)).filename().string() != name)
      continue;
    frames.push_back(frame);
  }
  std::sort(frames.begin(), frames.end());
  frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
  return frames;
}

} // namespace host_runtime
