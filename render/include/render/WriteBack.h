// The final output process: the accumulator back into linear values in the host's row order,
// fitted to the output plane's channels, written into the plane's buffer.
#pragma once

#include <cstddef>
#include <vector>

#include <ATen/core/Tensor.h>

#include "render/NonFiniteValues.h"
#include "render/RenderHooks.h"

namespace magnifex {

// `accumulator` is [1, C, S*H, S*W] on the compute device, rows top to bottom. Still mode decodes
// here; sequence mode has decoded every patch already. `plane` is the packed buffer of exactly
// S*H * S*W * n_out floats, rows bottom to top, a pixel's channels side by side: the first
// min(C, n_out) take the accumulator's channels, any further ones 1.0.
//
// The work goes in bands of rows, so that no full-size temporary exists beside the accumulator and
// the plane (at 4x the output is sixteen times the input: a 4K plate's plane alone is 1.6 GB).
void write_to_plane(const at::Tensor& accumulator, float* plane, std::size_t plane_floats, int n_out, bool decode,
                    const RenderHooks& hooks);

// The same, a region at a time as the still walk finishes them.
class PlaneWriter {
public:
  // `rows` x `columns` pixels of n_out floats; throws when the plane does not hold exactly that.
  PlaneWriter(float* plane, std::size_t plane_floats, int64_t rows, int64_t columns, int n_out, bool decode);

  // Which result channel each of the plane's n_out components takes (-1: none, the component is
  // 1.0). Without this, component k takes result channel k where the result has one.
  void set_channel_sources(std::vector<int64_t> sources);
  // Values the networks did not see, put back (linear, after the decode) in the pixels they upscale
  // to at `scale`.
  void set_non_finite(NonFiniteValues values, int scale);

  // The debug lines of the channel fitting for a result of `channels` channels.
  void log_fitting(int64_t channels, const RenderHooks& hooks) const;
  // `region` is [1, C, n, m] on any device: output rows first_row .. first_row + n - 1 from the
  // top, columns first_column .. first_column + m - 1.
  void write(const at::Tensor& region, int64_t first_row, int64_t first_column = 0);

private:
  // Component k of the plane from result channel sources[k] of a `channels`-channel result.
  std::vector<int64_t> sources_for(int64_t channels) const;

  at::Tensor destination_;
  int64_t rows_;
  int n_out_;
  bool decode_;
  std::vector<int64_t> sources_;
  NonFiniteValues non_finite_;
  int scale_ = 1;
};

} // namespace magnifex
