#include "render/WriteBack.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <string>

#include <ATen/ops/from_blob.h>

#include "render/LogEncoding.h"

namespace magnifex {

namespace {

// Rows per band: large enough that each copy is a long run, small enough that a band's temporaries
// (decode, flip, transfer) stay a few megabytes whatever the image.
constexpr int64_t kBandRows = 64;

} // namespace

PlaneWriter::PlaneWriter(float* plane, std::size_t plane_floats, int64_t rows, int64_t columns, int n_out, bool decode)
    : rows_(rows), n_out_(n_out), decode_(decode)
{
  if (n_out < 1)
    throw std::invalid_argument("the output plane has no channels");
  if (std::size_t(rows) * std::size_t(columns) * std::size_t(n_out) != plane_floats)
    throw std::runtime_error("the result is " + std::to_string(columns) + " x " + std::to_string(rows) + " x " +
                             std::to_string(n_out) + " values, the output plane holds " + std::to_string(plane_floats));
  destination_ = at::from_blob(plane, {rows, columns, n_out}, at::TensorOptions().dtype(at::kFloat));
}

void PlaneWriter::set_channel_sources(std::vector<int64_t> sources)
{
  if (sources.size() != std::size_t(n_out_))
    throw std::invalid_argument("channel sources for " + std::to_string(sources.size()) + " components of a plane of " +
                                std::to_string(n_out_));
  sources_ = std::move(sources);
}

void PlaneWriter::set_non_finite(NonFiniteValues values, int scale)
{
  non_finite_ = std::move(values);
  scale_ = scale;
}

std::vector<int64_t> PlaneWriter::sources_for(int64_t channels) const
{
  std::vector<int64_t> sources = sources_;
  if (sources.empty())
    for (int64_t k = 0; k < n_out_; ++k)
      sources.push_back(k < channels ? k : -1);
  for (int64_t& s : sources)
    if (s >= channels)
      s = -1;
  return sources;
}

void PlaneWriter::log_fitting(int64_t channels, const RenderHooks& hooks) const
{
  if (channels < n_out_)
    hooks.log("Too few channels, channel padding output");
  else if (channels > n_out_)
    hooks.log("Too many channels, narrowing channel output");
  if (hooks.logging()) {
    std::ostringstream os;
    os << "Final result tensor_image_comp sizes: [1, " << n_out_ << ", " << rows_ << ", " << destination_.size(1)
       << "]";
    hooks.log(os.str());
  }
}

void PlaneWriter::write(const at::Tensor& region, int64_t first_row, int64_t first_column)
{
  const std::vector<int64_t> sources = sources_for(region.size(1));
  for (int64_t top = 0; top < region.size(2); top += kBandRows) {
    const int64_t n = std::min(kBandRows, region.size(2) - top);
    at::Tensor band = region.narrow(2, top, n);
    if (decode_)
      band = logDecode(band);
    band = non_finite_.restored(band, scale_, first_row + top, first_column).select(0, 0);
    // Pipeline rows counted from the top are the host's rows counted from the bottom: the rows land
    // at the mirrored place, upside down.
    at::Tensor target =
      destination_.narrow(0, rows_ - (first_row + top) - n, n).narrow(1, first_column, region.size(3));
    const at::Tensor upright = band.flip({1}).permute({1, 2, 0}).cpu();
    for (int k = 0; k < n_out_; ++k) {
      at::Tensor component = target.select(2, k);
      if (sources[std::size_t(k)] < 0)
        component.fill_(1.0f);
      else
        component.copy_(upright.select(2, sources[std::size_t(k)]));
    }
  }
}

void write_to_plane(const at::Tensor& accumulator, float* plane, std::size_t plane_floats, int n_out, bool decode,
                    const RenderHooks& hooks)
{
  PlaneWriter writer(plane, plane_floats, accumulator.size(2), accumulator.size(3), n_out, decode);
  writer.log_fitting(accumulator.size(1), hooks);
  writer.write(accumulator, 0);
}

} // namespace magnifex
