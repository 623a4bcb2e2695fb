// Image files as magnifex-render reads them (render/ImageFiles: OpenImageIO behind the program's
// own checks). The first byte picks the file name extension, the rest is the file. A file that is
// read must give pixels for exactly the box and channels its description declares.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <fstream>
#include <string>

#include <OpenImageIO/imageio.h>

#include "imagefiles/ExrHeaderCheck.h"
#include "imagefiles/ImageFiles.h"
#include "imagefiles/ImageLimits.h"
#include "support/FuzzCheck.h"
#include "support/ScratchFolder.h"

using magnifex_fuzz::expect;

namespace {

// Formats a compositing read node meets. OpenImageIO tries the others too when the content is
// not what the extension says.
const char* const kExtensions[] = {"png", "exr", "tif", "ppm", "jpg", "dpx",  "cin", "hdr", "tga", "bmp",
                                   "sgi", "psd", "iff", "rla", "pfm", "webp", "gif", "jp2", "dds", "ico"};
constexpr std::size_t kExtensionCount = sizeof kExtensions / sizeof kExtensions[0];

// Pixels are read only for images of at most this many samples: the program takes up to 16 GiB,
// which is no use to a fuzzer.
constexpr std::int64_t kMaxFuzzSamples = std::int64_t(1) << 24;
// The OpenEXR library sets aside buffers for up to 256 lines as it opens a file.
constexpr std::int64_t kMaxFuzzLineSamples = std::int64_t(1) << 20;

// Whether the file declares no image that the program would take but the fuzzer cannot afford.
bool withinBudget(const std::string& path)
{
  std::ifstream file(path, std::ios::binary);
  for (const render_command::DeclaredImage& image : render_command::exrDeclaredImages(file)) {
    if (!render_command::imageSizeProblem(image).empty())
      continue; // refused before the library sees it
    if (image.width > kMaxFuzzLineSamples / image.channels ||
        image.height > kMaxFuzzSamples / (image.width * image.channels))
      return false;
  }
  return true;
}

bool setUp()
{
  OIIO::attribute("threads", 1); // reproducible, and the fuzzer runs one input at a time anyway
  OIIO::attribute("exr_threads", 1);
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  static const bool ready = setUp();
  (void)ready;
  if (size == 0)
    return 0;
  const magnifex_fuzz::ScratchFolder& scratch = magnifex_fuzz::scratchFolder();
  scratch.clear();
  const std::string path =
    scratch.write(std::string("input.") + kExtensions[data[0] % kExtensionCount], data + 1, size - 1).string();
  if (!withinBudget(path))
    return 0;
  const host_runtime::ImageFileReader reader = render_command::imageFileReader();

  host_runtime::ImageDescription description;
  try {
    description = reader.readDescription(path);
  } catch (const std::exception&) {
    return 0;
  }
  const DD::Image::Box& box = description.bbox;
  expect(box.w() > 0 && box.h() > 0 && !description.channels.empty(), "an image without pixels is described");
  const std::int64_t samples = std::int64_t(box.w()) * box.h() * std::int64_t(description.channels.size());
  if (samples > kMaxFuzzSamples)
    return 0;

  host_runtime::Image image;
  try {
    image = reader.readPixels(path);
  } catch (const std::exception&) {
    return 0;
  }
  expect(image.box == box, "the pixels cover another box than the description's");
  expect(image.channels == description.channels, "the pixels hold other channels than the description's");
  expect(std::int64_t(image.pixels.size()) == samples, "the pixels are not box times channels");
  return 0;
}
