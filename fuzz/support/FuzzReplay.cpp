// main() of a fuzz target built without libFuzzer: runs the target once on every file named, or
// in a folder named, folders in name order, as libFuzzer does with -runs=0. Of libFuzzer's options
// it takes -rss_limit_mb=N (default 2048, as there): an input that makes the program grow beyond
// N MB fails; the others are ignored.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <sys/resource.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

constexpr const char* kRssLimitOption = "-rss_limit_mb=";

// The program's largest resident size so far, in MB.
long peakResidentMb()
{
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

// The files the arguments name; false (with a message) for one that names nothing readable.
bool inputFiles(int argc, char** argv, std::vector<fs::path>& files)
{
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind('-', 0) == 0)
      continue;
    std::error_code ec;
    if (fs::is_directory(arg, ec)) {
      std::vector<fs::path> inFolder;
      for (const fs::directory_entry& entry : fs::directory_iterator(arg, ec))
        if (entry.is_regular_file())
          inFolder.push_back(entry.path());
      std::sort(inFolder.begin(), inFolder.end());
      files.insert(files.end(), inFolder.begin(), inFolder.end());
    } else if (fs::is_regular_file(arg, ec)) {
      files.emplace_back(arg);
    } else {
      std::fprintf(stderr, "no input file or folder %s\n", arg.c_str());
      return false;
    }
  }
  return true;
}

} // namespace

int main(int argc, char** argv)
{
  long rssLimitMb = 2048;
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]).rfind(kRssLimitOption, 0) == 0)
      rssLimitMb = std::atol(argv[i] + std::strlen(kRssLimitOption));
  std::vector<fs::path> files;
  if (!inputFiles(argc, argv, files))
    return 2;
  if (files.empty()) {
    std::fprintf(stderr, "no inputs to replay\n");
    return 2;
  }
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A buffer of exactly the input's size, so that the sanitizers see any read beyond it.
    std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
    std::copy(bytes.begin(), bytes.end(), data.get());
    std::fprintf(stderr, "replaying %s\n", file.c_str());
    LLVMFuzzerTestOneInput(data.get(), bytes.size());
    if (rssLimitMb > 0 && peakResidentMb() > rssLimitMb) {
      std::fprintf(stderr, "out of memory: %s made the program grow to %ld MB (limit: %ld MB)\n", file.c_str(),
                   peakResidentMb(), rssLimitMb);
      return 1;
    }
  }
  std::fprintf(stderr, "replayed %zu inputs\n", files.size());
  return 0;
}
