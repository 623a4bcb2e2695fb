// File name patterns of image sequences (FramePattern). The input: a byte n (at most 7 frames), n
// frame numbers of 4 bytes, then the pattern, taken inside a scratch folder (".." cannot leave
// it). The files pathFor() names for those frames are made there; existingFrames() must then find
// each of them, in ascending order, and nothing that pathFor() does not name.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "runtime/FramePattern.h"
#include "runtime/HostError.h"
#include "support/FuzzCheck.h"
#include "support/ScratchFolder.h"

using namespace host_runtime;
using magnifex_fuzz::expect;
namespace fs = std::filesystem;

namespace {

// The pattern text of the input, kept inside the scratch folder: no NULs, no "..".
std::string confined(std::string text)
{
  text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
  for (std::size_t at = text.find(".."); at != std::string::npos; at = text.find("..", at))
    text.replace(at, 2, "__");
  return magnifex_fuzz::scratchFolder().path().string() + "/" + text;
}

// Makes the file (and its folders); whether it is there now.
bool makeFile(const std::string& path)
{
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  std::ofstream{path};
  return fs::is_regular_file(path, ec);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size == 0)
    return 0;
  const std::size_t frameCount = std::min<std::size_t>(data[0] % 8, (size - 1) / 4);
  std::vector<int> frames(frameCount);
  for (std::size_t i = 0; i < frameCount; ++i)
    std::memcpy(&frames[i], data + 1 + 4 * i, 4);
  const std::size_t textStart = 1 + 4 * frameCount;
  const std::string text = confined(std::string(reinterpret_cast<const char*>(data) + textStart, size - textStart));

  const magnifex_fuzz::ScratchFolder& scratch = magnifex_fuzz::scratchFolder();
  scratch.clear();
  std::unique_ptr<FramePattern> pattern;
  try {
    pattern = std::make_unique<FramePattern>(text);
  } catch (const HostError& e) {
    expect(e.kind() == HostError::Kind::BadPattern, "a refused pattern is not reported as a bad pattern");
    return 0;
  }

  std::set<int> made;
  for (int frame : frames) {
    const std::string path = pattern->pathFor(frame);
    if (!pattern->hasFrameNumber())
      expect(path == text, "a pattern without a frame number names another file");
    if (makeFile(path))
      made.insert(frame);
  }
  const std::vector<int> found = pattern->existingFrames();
  scratch.clear();

  expect(std::is_sorted(found.begin(), found.end()) && std::adjacent_find(found.begin(), found.end()) == found.end(),
         "existing frames are not in ascending order, each once");
  if (!pattern->hasFrameNumber()) {
    expect(found.size() == (made.empty() ? 0u : 1u) && (found.empty() || found[0] == 1),
           "a single file is not frame 1, or is found when it is not there");
    return 0;
  }
  for (int frame : made)
    expect(std::binary_search(found.begin(), found.end(), frame), "a frame whose file exists is not found");
  for (int frame : found)
    expect(made.count(frame) == 1, "a frame is found that has no file");
  return 0;
}
