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

void write_to_plane(const at::Tensor& accumulator, float* plane, std::size_t plane_floats, int n_out, bool decode,
                    const RenderHooks& hooks)
{
  const int64_t C = accumulator.size(1), rows = accumulator.size(2), columns = accumulator.size(3);
  if (n_out < 1)
    throw std::invalid_argument("the output plane has no channels");
  if (std::size_t(rows) * std::size_t(columns) * std::size_t(n_out) != plane_floats)
    throw std::runtime_error("the result is " + std::to_string(columns) + " x " + std::to_string(rows) + " x " +
                             std::to_string(n_out) + " values, the output plane holds " + std::to_string(plane_floats));
  if (C < n_out)
    hooks.log("Too few channels, channel padding output");
  else if (C > n_out)
    hooks.log("Too many channels, narrowing channel output");
  if (hooks.logging()) {
    std::ostringstream os;
    os << "Final result tensor_image_comp sizes: [1, " << n_out << ", " << rows << ", " << columns << "]";
    hooks.log(os.str());
  }

  const at::Tensor destination = at::from_blob(plane, {rows, columns, n_out}, at::TensorOptions().dtype(at::kFloat));
  const int64_t kept = std::min<int64_t>(C, n_out);
  for (int64_t top = 0; top < rows; top += kBandRows) {
    const int64_t band = std::min(kBandRows, rows - top);
    at::Tensor source = accumulator.select(0, 0).narrow(0, 0, kept).narrow(1, top, band);
    if (decode)
      source = logDecode(source);
    // Pipeline rows top..top+band are the host's rows counted from the bottom: the band lands at
    // the mirrored place, upside down.
    at::Tensor target = destination.narrow(0, rows - top - band, band);
    target.narrow(2, 0, kept).copy_(source.flip({1}).permute({1, 2, 0}).cpu());
    if (n_out > kept)
      target.narrow(2, kept, n_out - kept).fill_(1.0f);
  }
}

} // namespace magnifex
