#include "render/ImageFiles.h"

#include <stdexcept>
#include <vector>

#include "runtime/HostError.h"

#if defined(MAGNIFEX_RENDER_WITH_OIIO)
#  include <OpenImageIO/imageio.h>
#endif

namespace render_command {

using host_runtime::HostError;

#if defined(MAGNIFEX_RENDER_WITH_OIIO)
namespace {

namespace oiio = OIIO;

DD::Image::Channel channelFromFile(const std::string& name)
{
  if (name == "R") return DD::Image::Chan_Red;
  if (name == "G") return DD::Image::Chan_Green;
  if (name == "B") return DD::Image::Chan_Blue;
  if (name == "A") return DD::Image::Chan_Alpha;
  if (name == "Z") return DD::Image::Chan_Z;
  const std::string full = name.find('.') == std::string::npos ? "other." + name : name;
  return DD::Image::getChannel(full.c_str());
}

std::string channelToFile(DD::Image::Channel c)
{
  switch (c) {
    case DD::Image::Chan_Red: return "R";
    case DD::Image::Chan_Green: return "G";
    case DD::Image::Chan_Blue: return "B";
    case DD::Image::Chan_Alpha: return "A";
    case DD::Image::Chan_Z: return "Z";
    default: return DD::Image::getName(c);
  }
}

// The host row of a file row: mirrored within the display window.
int hostRow(const oiio::ImageSpec& spec, int fileRow) { return 2 * spec.full_y + spec.full_height - 1 - fileRow; }

host_runtime::ImageDescription describeSpec(const oiio::ImageSpec& spec)
{
  host_runtime::ImageDescription d;
  d.format = DD::Image::Format(spec.full_width, spec.full_height, spec.get_float_attribute("PixelAspectRatio", 1.0f));
  d.format.set(spec.full_x, spec.full_y, spec.full_x + spec.full_width, spec.full_y + spec.full_height);
  const int top = hostRow(spec, spec.y);  // the data window's first file row is its top host row
  d.bbox = DD::Image::Box(spec.x, top - spec.height + 1, spec.x + spec.width, top + 1);
  for (const std::string& name : spec.channelnames) {
    const DD::Image::Channel c = channelFromFile(name);
    if (c == DD::Image::Chan_Black) throw std::runtime_error("too many channels");
    d.channels.push_back(c);
  }
  return d;
}

std::unique_ptr<oiio::ImageInput> openInput(const std::string& path)
{
  auto in = oiio::ImageInput::open(path);
  if (!in) throw std::runtime_error("cannot read " + path + ": " + oiio::geterror());
  if (in->spec().deep) throw std::runtime_error("cannot read " + path + ": deep images are not supported");
  return in;
}

host_runtime::Image readPixels(const std::string& path)
{
  auto in = openInput(path);
  const oiio::ImageSpec& spec = in->spec();
  const host_runtime::ImageDescription d = describeSpec(spec);
  const std::size_t n = std::size_t(spec.nchannels);
  std::vector<float> fileOrder(std::size_t(spec.width) * std::size_t(spec.height) * n);
  if (!in->read_image(0, 0, 0, spec.nchannels, oiio::TypeDesc::FLOAT, fileOrder.data()))
    throw std::runtime_error("cannot read " + path + ": " + in->geterror());
  host_runtime::Image image;
  image.box = d.bbox;
  image.channels = d.channels;
  image.pixels.resize(fileOrder.size());
  const std::size_t row = std::size_t(spec.width) * n;
  for (int r = 0; r < spec.height; ++r)  // file rows top-down, host rows bottom-up
    std::copy_n(fileOrder.begin() + std::ptrdiff_t(std::size_t(r) * row), row,
                image.pixels.begin() + std::ptrdiff_t(std::size_t(spec.height - 1 - r) * row));
  return image;
}

} // namespace

bool imageFilesAvailable() { return true; }

host_runtime::ImageFileReader imageFileReader()
{
  host_runtime::ImageFileReader reader;
  reader.readDescription = [](const std::string& path) { return describeSpec(openInput(path)->spec()); };
  reader.readPixels = readPixels;
  return reader;
}

void writeImageFile(const std::string& path, const DD::Image::ImagePlane& plane, const DD::Image::Format& format)
{
  const DD::Image::Box& b = plane.bounds();
  oiio::ImageSpec spec(b.w(), b.h(), plane.nComps(), oiio::TypeDesc::FLOAT);
  spec.full_x = format.x();
  spec.full_y = format.y();
  spec.full_width = format.w();
  spec.full_height = format.h();
  spec.x = b.x();
  spec.y = 2 * format.y() + format.h() - b.t();  // the file row of the box's top host row
  spec.attribute("PixelAspectRatio", float(format.pixel_aspect()));
  spec.channelnames.clear();
  spec.alpha_channel = -1;
  spec.z_channel = -1;
  int index = 0;
  for (DD::Image::Channel c = plane.channels().first(); c != DD::Image::Chan_Black && index < plane.nComps();
       c = plane.channels().next(c), ++index) {
    spec.channelnames.push_back(channelToFile(c));
    if (c == DD::Image::Chan_Alpha) spec.alpha_channel = index;
    if (c == DD::Image::Chan_Z) spec.z_channel = index;
  }
  std::vector<float> fileOrder(std::size_t(b.w()) * std::size_t(b.h()) * std::size_t(plane.nComps()));
  for (int y = b.y(); y < b.t(); ++y)
    for (int x = b.x(); x < b.r(); ++x)
      for (int z = 0; z < plane.nComps(); ++z)
        fileOrder[(std::size_t(b.t() - 1 - y) * std::size_t(b.w()) + std::size_t(x - b.x())) * std::size_t(plane.nComps()) + std::size_t(z)] =
            plane.at(x, y, z);
  auto out = oiio::ImageOutput::create(path);
  if (!out) throw HostError(HostError::Kind::Output, "cannot write " + path + ": " + oiio::geterror());
  if (!out->open(path, spec) || !out->write_image(oiio::TypeDesc::FLOAT, fileOrder.data()) || !out->close())
    throw HostError(HostError::Kind::Output, "cannot write " + path + ": " + out->geterror());
}

#else

bool imageFilesAvailable() { return false; }

host_runtime::ImageFileReader imageFileReader()
{
  throw HostError(HostError::Kind::Input, "this magnifex-render was built without OpenImageIO and reads no images");
}

void writeImageFile(const std::string&, const DD::Image::ImagePlane&, const DD::Image::Format&)
{
  throw HostError(HostError::Kind::Output, "this magnifex-render was built without OpenImageIO and writes no images");
}

#endif

} // namespace render_command
