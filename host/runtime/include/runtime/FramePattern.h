// File names of an image sequence: "plate.%04d.exr", "plate.####.exr", "plate.%d.exr", or a
// plain file name without a frame number.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace host_runtime {

class FramePattern {
public:
  // The first %d / %0Nd or run of '#' in the file name part is the frame number (N or the number
  // of '#' is its zero-padded width). HostError BadPattern for a width beyond kMaxFrameDigits or
  // a pattern longer than kMaxPatternLength: no file system names such files, and making the
  // names alone would take ages.
  explicit FramePattern(const std::string& pattern);

  static constexpr int kMaxFrameDigits = 32;
  static constexpr std::size_t kMaxPatternLength = 4096;

  bool hasFrameNumber() const { return hasNumber_; }
  const std::string& text() const { return pattern_; }
  // The file of a frame (printf-style padding: -5 at width 4 is "-005"); the pattern itself when
  // it has no frame number.
  std::string pathFor(int frame) const;
  // The frames whose files exist in the pattern's directory, ascending. Files whose number is
  // beyond a frame's 32 bits go to `beyond` when given.
  std::vector<int> existingFrames(std::vector<std::string>* beyond = nullptr) const;

private:
  std::string pattern_;
  std::string prefix_, suffix_;
  int width_ = 0;
  bool hasNumber_ = false;
};

} // namespace host_runtime
