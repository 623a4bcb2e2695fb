// main() of a fuzz target built without libFuzzer: runs the target once on every file named, or
// in a folder named, folders in name order, as libFuzzer does with -runs=0. Options are ignored.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

// The files the arguments name; false (with a message) for one that names nothing readable.
bool inputFiles(int argc, char** argv, std::vector<fs::path>& files)
{
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind('-', 0) == 0) continue;
    std::error_code ec;
    if (fs::is_directory(arg, ec)) {
      std::vector<fs::path> inFolder;
      for (const fs::directory_entry& entry : fs::directory_iterator(arg, ec))
        if (entry.is_regular_file()) inFolder.push_back(entry.path());
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
  std::vector<fs::path> files;
  if (!inputFiles(argc, argv, files)) return 2;
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
  }
  std::fprintf(stderr, "replayed %zu inputs\n", files.size());
  return 0;
}
