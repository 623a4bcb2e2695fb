#include "imagefiles/ImageFiles.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "imagefiles/ColorSpaces.h"
#include "imagefiles/ExrHeaderCheck.h"
#include "imagefiles/FileLengthCheck.h"
#include "imagefiles/ImageLimits.h"
#include "runtime/AtomicFile.h"
#include "runtime/HostError.h"

#if defined(MAGNIFEX_RENDER_WITH_OIIO)
#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>
#endif

namespace render_command {

using host_runtime::HostError;

std::size_t valuesBeyondHalf(const std::vector<float>& pixels)
{
  // The largest half float is 65504; values up to halfway to the next step (65520) still round
  // down to it, and from there on to infinity.
  constexpr float kRoundsToInfinity = 65520.0f;
  return std::size_t(std::count_if(pixels.begin(), pixels.end(),
                                   [](float v) { return std::isfinite(v) && std::abs(v) >= kRoundsToInfinity; }));
}

#if defined(MAGNIFEX_RENDER_WITH_OIIO)
namespace {

namespace oiio = OIIO;

constexpr const char* kOtherLayer = "other.";

// The host's name of a file channel, without taking one of its slots.
std::string hostNameOf(const std::string& name)
{
  if (name == "R")
    return "rgba.red";
  if (name == "G")
    return "rgba.green";
  if (name == "B")
    return "rgba.blue";
  if (name == "A")
    return "rgba.alpha";
  if (name == "Z")
    return "depth.Z";
  return name.find('.') == std::string::npos ? kOtherLayer + name : name;
}

// Per file channel, whether the node is given it.
std::vector<bool> channelsGiven(const oiio::ImageSpec& spec, const ImageReadSettings& settings)
{
  std::vector<bool> given(std::size_t(spec.nchannels), true);
  if (settings.forNode) {
    std::vector<std::string> names;
    for (const std::string& name : spec.channelnames)
      names.push_back(hostNameOf(name));
    given = settings.forNode(names);
    given.resize(std::size_t(spec.nchannels), false);
  }
  return given;
}

// The file channels the node is given: their index in the file and their host channel.
std::vector<std::pair<int, DD::Image::Channel>> channelsForNode(const oiio::ImageSpec& spec, const std::string& path,
                                                                const ImageReadSettings& settings)
{
  const std::vector<bool> given = channelsGiven(spec, settings);
  std::vector<std::pair<int, DD::Image::Channel>> mapped;
  for (int i = 0; i < spec.nchannels; ++i) {
    if (!given[std::size_t(i)])
      continue;
    const DD::Image::Channel c = DD::Image::getChannel(hostNameOf(spec.channelnames[std::size_t(i)]).c_str());
    if (c == DD::Image::Chan_Black)
      throw std::runtime_error("cannot read " + path + ": too many channels (" + std::to_string(spec.nchannels) +
                               "): the host holds R, G, B, A, Z and " + std::to_string(DD::Image::Chan_Last - 5) +
                               " more, all the node reads");
    mapped.emplace_back(i, c);
  }
  return mapped;
}

std::string channelToFile(DD::Image::Channel c)
{
  switch (c) {
  case DD::Image::Chan_Red: return "R";
  case DD::Image::Chan_Green: return "G";
  case DD::Image::Chan_Blue: return "B";
  case DD::Image::Chan_Alpha: return "A";
  case DD::Image::Chan_Z: return "Z";
  default: {
    const std::string name = DD::Image::getName(c);
    return name.rfind(kOtherLayer, 0) == 0 ? name.substr(std::string(kOtherLayer).size()) : name;
  }
  }
}

bool holdsFloats(oiio::TypeDesc type)
{
  return type.basetype == oiio::TypeDesc::HALF || type.basetype == oiio::TypeDesc::FLOAT ||
         type.basetype == oiio::TypeDesc::DOUBLE;
}

oiio::TypeDesc typeOf(PixelType type)
{
  switch (type) {
  case PixelType::UInt8: return oiio::TypeDesc::UINT8;
  case PixelType::UInt16: return oiio::TypeDesc::UINT16;
  case PixelType::Half: return oiio::TypeDesc::HALF;
  case PixelType::Float: break;
  }
  return oiio::TypeDesc::FLOAT;
}

// The host row of a file row: mirrored within the display window.
int hostRow(const oiio::ImageSpec& spec, int fileRow)
{
  return 2 * spec.full_y + spec.full_height - 1 - fileRow;
}

// Headers may declare anything: sizes that cannot be held are refused before any allocation.
void checkDeclaredSize(const oiio::ImageSpec& spec, const std::string& path)
{
  const std::string problem = imageSizeProblem({spec.x, spec.y, spec.width, spec.height, spec.full_x, spec.full_y,
                                                spec.full_width, spec.full_height, spec.nchannels});
  if (!problem.empty())
    throw std::runtime_error("cannot read " + path + ": " + problem);
}

host_runtime::ImageDescription describeSpec(const oiio::ImageSpec& spec, const std::string& path,
                                            const ImageReadSettings& settings)
{
  checkDeclaredSize(spec, path);
  host_runtime::ImageDescription d;
  d.format = DD::Image::Format(spec.full_width, spec.full_height, spec.get_float_attribute("PixelAspectRatio", 1.0f));
  d.format.set(spec.full_x, spec.full_y, spec.full_x + spec.full_width, spec.full_y + spec.full_height);
  const int top = hostRow(spec, spec.y); // the data window's first file row is its top host row
  d.bbox = DD::Image::Box(spec.x, top - spec.height + 1, spec.x + spec.width, top + 1);
  for (const auto& [index, channel] : channelsForNode(spec, path, settings))
    d.channels.push_back(channel);
  return d;
}

// The name a file's colour space goes by in its metadata: OpenImageIO's for linear light.
std::string colorSpaceTag(const std::string& space)
{
  return space == kLinearColorSpace ? std::string("Linear") : space;
}

// Some readers fail without saying why.
std::string reasonOf(const std::string& readerError)
{
  return readerError.empty() ? "the reader gives no reason; the file may be cut short or damaged" : readerError;
}

// The names of a file's parts (subimages: EXR parts, TIFF pages); "part N" for one without a name.
// Through a reader of its own: seeking past the last part leaves some readers (TIFF) unusable.
std::vector<std::string> partNames(const std::string& path, const oiio::ImageSpec& config)
{
  std::vector<std::string> names;
  auto in = oiio::ImageInput::open(path, &config);
  for (int i = 0; in && i < 4096 && in->seek_subimage(i, 0); ++i) {
    const std::string name = in->spec().get_string_attribute("oiio:subimagename");
    names.push_back(name.empty() ? "part " + std::to_string(i) : name);
  }
  return names;
}

std::string listText(const std::vector<std::string>& names)
{
  std::string text;
  for (const std::string& n : names)
    text += (text.empty() ? "" : ", ") + n;
  return text;
}

// The subimage `part` names, by name or index. A file of several parts needs one named: every
// part but one would otherwise be lost without a word. A file whose reader states one part (an
// OpenEXR file of one part) is not opened again to count.
int choosePart(const oiio::ImageInput& in, const std::string& path, const oiio::ImageSpec& config,
               const std::string& part)
{
  const std::string first = in.spec().get_string_attribute("oiio:subimagename");
  const bool single = in.spec().get_int_attribute("oiio:subimages", 0) == 1;
  const std::vector<std::string> names =
    single ? std::vector<std::string>{first.empty() ? "part 0" : first} : partNames(path, config);
  if (part.empty()) {
    if (names.size() <= 1)
      return 0;
    throw std::runtime_error("cannot read " + path + ": it holds " + std::to_string(names.size()) + " parts (" +
                             listText(names) + ") and one is rendered: choose it with --input-part NAME or INDEX");
  }
  for (std::size_t i = 0; i < names.size(); ++i)
    if (names[i] == part || std::to_string(i) == part)
      return int(i);
  throw std::runtime_error("cannot read " + path + ": it has no part " + part + " (its parts: " + listText(names) +
                           ")");
}

// Samples come as stored: alpha is neither multiplied in nor divided out, as a read node leaves it.
std::unique_ptr<oiio::ImageInput> openInput(const std::string& path, const std::string& part)
{
  std::ifstream file(path, std::ios::binary);
  const std::string exrProblem = exrHeaderProblem(file);
  if (!exrProblem.empty())
    throw std::runtime_error("cannot read " + path + ": " + exrProblem);
  std::error_code ec;
  const std::uintmax_t length = std::filesystem::file_size(path, ec);
  const std::string lengthProblem = ec ? std::string() : cutShortProblem(file, length);
  if (!lengthProblem.empty())
    throw std::runtime_error("cannot read " + path + ": " + lengthProblem);
  oiio::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  auto in = oiio::ImageInput::open(path, &config);
  if (!in)
    throw std::runtime_error("cannot read " + path + ": " + reasonOf(oiio::geterror()));
  const int chosen = choosePart(*in, path, config, part);
  if (chosen != 0 && !in->seek_subimage(chosen, 0))
    throw std::runtime_error("cannot read " + path + ": " + reasonOf(in->geterror()));
  if (in->spec().deep)
    throw std::runtime_error("cannot read " + path + ": deep images are not supported");
  return in;
}

// The colour space a file holds unless the user says otherwise: log DPX and Cineon files hold
// Cineon log, as the host reads them; others go by their pixel type.
std::string colorSpaceOfFile(const oiio::ImageSpec& spec, const std::string& formatName)
{
  if (formatName == "cineon" || (formatName == "dpx" && spec.get_string_attribute("dpx:Transfer") == "Logarithmic"))
    return kCineonColorSpace;
  return defaultColorSpace(holdsFloats(spec.format));
}

host_runtime::Image readPixels(const std::string& path, const ImageReadSettings& settings)
{
  auto in = openInput(path, settings.part);
  const oiio::ImageSpec& spec = in->spec();
  const host_runtime::ImageDescription d = describeSpec(spec, path, settings);
  const std::vector<std::pair<int, DD::Image::Channel>> mapped = channelsForNode(spec, path, settings);
  const std::size_t n = std::size_t(spec.nchannels), kept = mapped.size();
  const std::size_t pixelCount = std::size_t(spec.width) * std::size_t(spec.height);
  host_runtime::Image image;
  std::vector<float> fileOrder;
  try {
    fileOrder.resize(pixelCount * n);
    image.pixels.resize(pixelCount * kept);
  } catch (const std::bad_alloc&) {
    throw std::runtime_error("cannot read " + path + ": not enough memory for " + std::to_string(spec.width) + " x " +
                             std::to_string(spec.height) + " pixels of " + std::to_string(n) + " channels");
  }
  // Some readers (TIFF) fill what a truncated file lacks and only leave an error behind.
  if (!in->read_image(in->current_subimage(), 0, 0, spec.nchannels, oiio::TypeDesc::FLOAT, fileOrder.data()) ||
      in->has_error())
    throw std::runtime_error("cannot read " + path + ": " + reasonOf(in->geterror()));
  const std::string space =
    settings.colorSpace.empty() ? colorSpaceOfFile(spec, in->format_name()) : settings.colorSpace;
  convertColorSpace(fileOrder.data(), pixelCount, spec.nchannels, colorChannelsOf(spec.channelnames), space,
                    kLinearColorSpace);
  image.box = d.bbox;
  image.channels = d.channels;
  const std::size_t width = std::size_t(spec.width);
  for (int r = 0; r < spec.height; ++r) // file rows top-down, host rows bottom-up
    for (std::size_t x = 0; x < width; ++x)
      for (std::size_t k = 0; k < kept; ++k)
        image.pixels[(std::size_t(spec.height - 1 - r) * width + x) * kept + k] =
          fileOrder[(std::size_t(r) * width + x) * n + std::size_t(mapped[k].first)];
  return image;
}

// The ImageSpec of a rendered plane: its box as the data window, the format as the display window.
oiio::ImageSpec planeSpec(const DD::Image::ImagePlane& plane, const DD::Image::Format& format,
                          const CarriedChannels* carried)
{
  const DD::Image::Box& b = plane.bounds();
  const int more = carried ? int(carried->names.size()) : 0;
  oiio::ImageSpec spec(b.w(), b.h(), plane.nComps() + more, oiio::TypeDesc::FLOAT);
  spec.full_x = format.x();
  spec.full_y = format.y();
  spec.full_width = format.w();
  spec.full_height = format.h();
  spec.x = b.x();
  spec.y = 2 * format.y() + format.h() - b.t(); // the file row of the box's top host row
  spec.attribute("PixelAspectRatio", float(format.pixel_aspect()));
  spec.channelnames.clear();
  spec.alpha_channel = -1;
  spec.z_channel = -1;
  int index = 0;
  for (DD::Image::Channel c = plane.channels().first(); c != DD::Image::Chan_Black && index < plane.nComps();
       c = plane.channels().next(c), ++index) {
    spec.channelnames.push_back(channelToFile(c));
    if (c == DD::Image::Chan_Alpha)
      spec.alpha_channel = index;
    if (c == DD::Image::Chan_Z)
      spec.z_channel = index;
  }
  for (int k = 0; k < more; ++k) {
    const std::string& name = carried->names[std::size_t(k)];
    if (name == "A" && spec.alpha_channel < 0)
      spec.alpha_channel = int(spec.channelnames.size());
    if (name == "Z" && spec.z_channel < 0)
      spec.z_channel = int(spec.channelnames.size());
    spec.channelnames.push_back(name);
  }
  return spec;
}

// Metadata a reader reports about how it decoded the file ("oiio:*": colour space, bit depth,
// subimages...) describes that file, not ours, as does its pixel aspect, which the format gives.
// Whether alpha is stored unassociated carries over, as the samples do (see keepSamplesAsTheyAre).
// A thumbnail's description goes too: its pixels are not carried over.
bool describesTheInputFileOnly(const std::string& name)
{
  return (name.rfind("oiio:", 0) == 0 && name != "oiio:UnassociatedAlpha") || name == "PixelAspectRatio" ||
         name.rfind("thumbnail_", 0) == 0;
}

// Sizes the metadata states are those of the output, two or four times the input's.
void stateTheOutputSize(oiio::ImageSpec& spec)
{
  if (spec.extra_attribs.contains("Exif:PixelXDimension"))
    spec.attribute("Exif:PixelXDimension", spec.full_width);
  if (spec.extra_attribs.contains("Exif:PixelYDimension"))
    spec.attribute("Exif:PixelYDimension", spec.full_height);
}

// Takes the template's metadata and, unless told otherwise, its pixel type.
void followTemplate(oiio::ImageSpec& spec, const std::string& templateFile, const ImageWriteSettings& settings,
                    const std::string& outputFormat)
{
  if (templateFile.empty()) {
    spec.set_format(settings.pixelType ? typeOf(*settings.pixelType) : oiio::TypeDesc::FLOAT);
    return;
  }
  auto in = openInput(templateFile, settings.templatePart);
  const oiio::ImageSpec& source = in->spec();
  for (const oiio::ParamValue& p : source.extra_attribs)
    if (!describesTheInputFileOnly(p.name().string()))
      spec.attribute(p.name().string(), p.type(), p.data());
  stateTheOutputSize(spec);
  // This program wrote the file, from the input: the input's tool did not.
  const std::string history = source.get_string_attribute("ImageHistory");
  spec.attribute("ImageHistory", (history.empty() ? std::string() : history + "\n") +
                                   "Upscaled by magnifex-render from " +
                                   std::filesystem::path(templateFile).filename().string());
  spec.attribute("Software", "magnifex-render");
  spec.set_format(settings.pixelType ? typeOf(*settings.pixelType) : source.format);
  // A 10- or 12-bit depth carries over only to a file of the same kind and pixel type.
  const int bits = source.get_int_attribute("oiio:BitsPerSample", 0);
  if (bits && spec.format == source.format && outputFormat == in->format_name())
    spec.attribute("oiio:BitsPerSample", bits);
}

// Samples are written as they are, as a write node does: alpha is never divided out. Formats
// that only hold unassociated alpha (PNG, Targa, WebP) would divide it out of samples not said
// to be unassociated already; TIFF records either kind and keeps what the input said.
void keepSamplesAsTheyAre(oiio::ImageSpec& spec, const std::string& outputFormat)
{
  if (outputFormat != "tiff")
    spec.attribute("oiio:UnassociatedAlpha", 1);
}

// Integer files cannot hold NaN or infinities: NaN becomes 0 and infinities the largest float,
// which the conversion to integers clamps.
void makeFinite(std::vector<float>& pixels)
{
  for (float& v : pixels) {
    if (std::isnan(v))
      v = 0.0f;
    else if (std::isinf(v))
      v = v > 0 ? std::numeric_limits<float>::max() : -std::numeric_limits<float>::max();
  }
}

std::string replacedAll(std::string text, const std::string& from, const std::string& to)
{
  for (std::size_t at = text.find(from); !from.empty() && at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::vector<float> fileOrderPixels(const DD::Image::ImagePlane& plane, const CarriedChannels* carried)
{
  const DD::Image::Box& b = plane.bounds();
  const std::size_t more = carried ? carried->names.size() : 0;
  const std::size_t n = std::size_t(plane.nComps()) + more;
  std::vector<float> fileOrder(std::size_t(b.w()) * std::size_t(b.h()) * n);
  for (int y = b.y(); y < b.t(); ++y)
    for (int x = b.x(); x < b.r(); ++x) {
      float* pixel = &fileOrder[(std::size_t(b.t() - 1 - y) * std::size_t(b.w()) + std::size_t(x - b.x())) * n];
      for (int z = 0; z < plane.nComps(); ++z)
        pixel[z] = plane.at(x, y, z);
      for (std::size_t k = 0; k < more; ++k)
        pixel[std::size_t(plane.nComps()) + k] =
          carried->pixels[(std::size_t(y - b.y()) * std::size_t(b.w()) + std::size_t(x - b.x())) * more + k];
    }
  return fileOrder;
}

// Whether a file written by a writer that cannot report failed writes holds what was written:
// it must open with the written size and channels and decode to its end.
std::string readBackProblem(const std::string& path, const std::string& formatName, const oiio::ImageSpec& written)
{
  auto incomplete = [](const std::string& reason) {
    return "the written file is incomplete" + (reason.empty() ? std::string() : " (" + reason + ")") +
           "; the disk may be full";
  };
  // By the writer's format: the temporary's name does not say it.
  auto in = oiio::ImageInput::create(formatName);
  oiio::ImageSpec opened;
  if (!in || !in->open(path, opened))
    return incomplete(in ? in->geterror() : oiio::geterror());
  const oiio::ImageSpec& spec = in->spec();
  if (spec.width != written.width || spec.height != written.height || spec.nchannels != written.nchannels)
    return incomplete("it reads back with another size");
  std::vector<float> pixels(std::size_t(spec.width) * std::size_t(spec.height) * std::size_t(spec.nchannels));
  if (!in->read_image(0, 0, 0, spec.nchannels, oiio::TypeDesc::FLOAT, pixels.data()) || in->has_error())
    return incomplete(in->geterror());
  return {};
}

} // namespace

bool imageFilesAvailable()
{
  return true;
}

host_runtime::ImageFileReader imageFileReader(const ImageReadSettings& settings)
{
  host_runtime::ImageFileReader reader;
  reader.readDescription = [settings](const std::string& path) {
    return describeSpec(openInput(path, settings.part)->spec(), path, settings);
  };
  reader.readPixels = [settings](const std::string& path) { return readPixels(path, settings); };
  return reader;
}

CarriedChannels readCarriedChannels(const std::string& path, const ImageReadSettings& settings)
{
  CarriedChannels carried;
  if (!settings.forNode)
    return carried;
  auto in = openInput(path, settings.part);
  const oiio::ImageSpec& spec = in->spec();
  checkDeclaredSize(spec, path);
  std::vector<int> indices;
  const std::vector<bool> given = channelsGiven(spec, settings);
  for (int i = 0; i < spec.nchannels; ++i)
    if (!given[std::size_t(i)]) {
      indices.push_back(i);
      carried.names.push_back(spec.channelnames[std::size_t(i)]);
    }
  if (indices.empty())
    return carried;
  const int top = hostRow(spec, spec.y);
  carried.box = DD::Image::Box(spec.x, top - spec.height + 1, spec.x + spec.width, top + 1);
  const std::size_t n = std::size_t(spec.nchannels), kept = indices.size(), width = std::size_t(spec.width);
  std::vector<float> fileOrder;
  try {
    fileOrder.resize(width * std::size_t(spec.height) * n);
    carried.pixels.resize(width * std::size_t(spec.height) * kept);
  } catch (const std::bad_alloc&) {
    throw std::runtime_error("cannot read " + path + ": not enough memory for its channels");
  }
  if (!in->read_image(in->current_subimage(), 0, 0, spec.nchannels, oiio::TypeDesc::FLOAT, fileOrder.data()) ||
      in->has_error())
    throw std::runtime_error("cannot read " + path + ": " + reasonOf(in->geterror()));
  for (int r = 0; r < spec.height; ++r)
    for (std::size_t x = 0; x < width; ++x)
      for (std::size_t k = 0; k < kept; ++k)
        carried.pixels[(std::size_t(spec.height - 1 - r) * width + x) * kept + k] =
          fileOrder[(std::size_t(r) * width + x) * n + std::size_t(indices[k])];
  return carried;
}

std::string imageOutputProblem(const std::string& path)
{
  if (oiio::ImageOutput::create(path))
    return {};
  const std::string extension = std::filesystem::path(path).extension().string();
  return extension.empty() ? "a name without an extension names no image format"
                           : "no image format is known for the extension " + extension;
}

std::string imageWindowProblem(const std::string& path, const ImageWindow& display, const ImageWindow& data)
{
  // The header alone is made, in memory. The buffer outlives the writer, whose close on
  // destruction still writes through it.
  std::vector<unsigned char> header;
  OIIO::Filesystem::IOVecOutput memory(header);
  auto out = oiio::ImageOutput::create(path);
  if (!out || out->format_name() != std::string("openexr") || !out->supports("ioproxy"))
    return {};
  const long long fileY = 2 * display.y + display.h - (data.y + data.h);
  for (long long v : {display.x, display.y, display.w, display.h, data.x, fileY, data.w, data.h, display.x + display.w,
                      display.y + display.h, data.x + data.w, fileY + data.h})
    if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
      return "its windows (data " + std::to_string(data.w) + " x " + std::to_string(data.h) + " at " +
             std::to_string(data.x) + ", " + std::to_string(data.y) + ") do not fit 32-bit coordinates";
  oiio::ImageSpec spec(int(data.w), int(data.h), 1, oiio::TypeDesc::HALF);
  spec.x = int(data.x);
  spec.y = int(fileY);
  spec.full_x = int(display.x);
  spec.full_y = int(display.y);
  spec.full_width = int(display.w);
  spec.full_height = int(display.h);
  if (!out->set_ioproxy(&memory))
    return {};
  if (out->open(path, spec)) {
    out->close();
    return {};
  }
  return "the OpenEXR writer refuses its windows (data " + std::to_string(data.w) + " x " + std::to_string(data.h) +
         " at " + std::to_string(data.x) + ", " + std::to_string(data.y) + "; display " + std::to_string(display.w) +
         " x " + std::to_string(display.h) + " at " + std::to_string(display.x) + ", " + std::to_string(display.y) +
         "): OpenEXR coordinates stay within +-1073741823 (" + out->geterror() + ")";
}

WrittenImage writeImageFile(const std::string& path, const DD::Image::ImagePlane& plane,
                            const DD::Image::Format& format, const ImageWriteSettings& settings,
                            const CarriedChannels* carried)
{
  auto fail = [&path](const std::string& why) {
    return HostError(HostError::Kind::Output, "cannot write " + path + ": " + why);
  };
  const DD::Image::Box& box = plane.bounds();
  if (box.w() <= 0 || box.h() <= 0)
    throw fail("the rendered image is empty");
  std::unique_ptr<host_runtime::AtomicFile> file; // outlives the writer: the file is closed before it goes
  // The writer's messages name the file it was given, the temporary: they should name ours.
  auto writerError = [&](const std::string& text) { return fail(replacedAll(text, file->temporaryPath(), path)); };
  // Declared before the writer, which writes through it even as it is destroyed after a failure.
  std::vector<unsigned char> encoded;
  OIIO::Filesystem::IOVecOutput memory(encoded);
  auto out = oiio::ImageOutput::create(path);
  if (!out)
    throw fail(oiio::geterror());
  if (carried && carried->names.empty())
    carried = nullptr;
  if (carried && !(carried->box == box))
    throw fail("the carried channels do not cover the rendered image");
  oiio::ImageSpec spec = planeSpec(plane, format, carried);
  try {
    followTemplate(spec, settings.templateFile, settings, out->format_name());
    keepSamplesAsTheyAre(spec, out->format_name());
  } catch (const std::runtime_error& e) {
    throw fail(e.what());
  }
  std::vector<float> pixels;
  try {
    pixels = fileOrderPixels(plane, carried);
  } catch (const std::bad_alloc&) {
    throw fail("not enough memory for " + std::to_string(box.w()) + " x " + std::to_string(box.h()) + " pixels");
  }

  file = std::make_unique<host_runtime::AtomicFile>(path);
  // Writers that can write into memory do, and the bytes go to the file with checked calls:
  // some writers (PNG, Targa, BMP) ignore a failed write and JPEG's would end the process.
  // The others write the file themselves and it is read back whole before it takes the name
  // (TIFF among them: OpenImageIO's TIFF writer leaves out the directory when writing to memory).
  const bool inMemory =
    out->format_name() != std::string("tiff") && out->supports("ioproxy") && out->set_ioproxy(&memory);
  // The colour space asked for is the one the file says it holds (a PNG's gAMA, for one);
  // without one the writer's default for its pixel type is right.
  if (!settings.colorSpace.empty())
    spec.attribute("oiio:ColorSpace", colorSpaceTag(settings.colorSpace));
  if (!out->open(inMemory ? path : file->temporaryPath(), spec))
    throw writerError(out->geterror());
  // What the format makes of the pixel type asked for decides the colour space: a PNG asked for
  // floats holds 8-bit sRGB.
  const bool floats = holdsFloats(out->spec().format);
  // A log DPX input makes a log DPX output (its transfer is among the metadata carried over).
  const std::string space = !settings.colorSpace.empty()               ? settings.colorSpace
                            : out->format_name() == std::string("dpx") ? colorSpaceOfFile(out->spec(), "dpx")
                                                                       : defaultColorSpace(floats);
  if (!floats)
    makeFinite(pixels);
  try {
    const std::size_t pixelCount = std::size_t(plane.bounds().w()) * std::size_t(plane.bounds().h());
    convertColorSpace(pixels.data(), pixelCount, spec.nchannels, colorChannelsOf(spec.channelnames), kLinearColorSpace,
                      space);
  } catch (const std::runtime_error& e) {
    throw fail(e.what());
  }
  if (!floats)
    makeFinite(pixels);
  WrittenImage written;
  if (out->spec().format.basetype == oiio::TypeDesc::HALF)
    written.overflowed = valuesBeyondHalf(pixels);
  if (!out->write_image(oiio::TypeDesc::FLOAT, pixels.data()) || !out->close())
    throw writerError(out->geterror());
  const std::string formatName = out->format_name();
  out.reset(); // closed before it is renamed
  if (inMemory) {
    file->write(encoded.data(), encoded.size());
  } else {
    const std::string problem = readBackProblem(file->temporaryPath(), formatName, spec);
    if (!problem.empty())
      throw fail(problem);
  }
  file->commit();
  return written;
}

#else

bool imageFilesAvailable()
{
  return false;
}

host_runtime::ImageFileReader imageFileReader(const ImageReadSettings&)
{
  throw HostError(HostError::Kind::Input, "this magnifex-render was built without OpenImageIO and reads no images");
}

std::string imageOutputProblem(const std::string&)
{
  return "this magnifex-render was built without OpenImageIO and writes no images";
}

std::string imageWindowProblem(const std::string&, const ImageWindow&, const ImageWindow&)
{
  return {};
}

CarriedChannels readCarriedChannels(const std::string&, const ImageReadSettings&)
{
  return {};
}

WrittenImage writeImageFile(const std::string&, const DD::Image::ImagePlane&, const DD::Image::Format&,
                            const ImageWriteSettings&, const CarriedChannels*)
{
  throw HostError(HostError::Kind::Output, "this magnifex-render was built without OpenImageIO and writes no images");
}

#endif

} // namespace render_command
