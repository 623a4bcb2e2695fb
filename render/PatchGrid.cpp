#include "render/PatchGrid.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace magnifex {

namespace {

struct Span {
  int start, end;
  bool last;
};

// The spans along one axis: patch i starts `overlap` before the previous one's nominal end and is
// cut at the image edge, where the axis ends. At most `count` spans.
std::vector<Span> spans_along(int extent, int patch, int overlap, int count)
{
  std::vector<Span> spans;
  int origin = 0;
  for (int i = 0; i < count; ++i) {
    const std::int64_t candidate = std::int64_t(origin) - overlap + patch;
    Span s{};
    s.start = i == 0 ? 0 : origin - overlap;
    if (candidate >= extent) {
      s.end = extent;
      s.last = true;
    } else {
      s.end = i == 0 ? origin + patch : int(candidate);
    }
    spans.push_back(s);
    if (s.last)
      break;
    origin = s.start + patch;
  }
  return spans;
}

// How many of `count` spans are visited: the walk ends at the first span that reaches the edge.
// Span i >= 1 starts at i * (patch - overlap) and its candidate end lies `patch` further on.
int spans_visited(int extent, int patch, int overlap, int count)
{
  const std::int64_t step = std::int64_t(patch) - overlap;
  if (count <= 1 || patch - overlap >= extent)
    return std::min(count, 1);
  const std::int64_t last = std::max<std::int64_t>(1, (std::int64_t(extent) - patch + step - 1) / step);
  return int(std::min<std::int64_t>(count, last + 1));
}

// Single-precision ceiling of a / b, as the grid has always been computed.
int ceil_ratio(std::int64_t a, std::int64_t b)
{
  return static_cast<int>(std::ceil(static_cast<float>(a) / static_cast<float>(b)));
}

} // namespace

std::optional<PatchGrid> compute_patch_grid(int W, int H, int max_size, int overlap, int padding, bool multisample)
{
  if (W < 1 || H < 1 || max_size < 1)
    return std::nullopt;
  PatchGrid g;
  g.patchWidth = g.patchHeight = max_size;
  g.overlapX = g.overlapY = std::min(std::max(overlap, 0), max_size / 3);
  g.padX = std::min(std::max(padding, 0), g.overlapX / 3);
  g.padY = std::min(std::max(padding, 0), g.overlapY / 3);
  if (g.patchWidth > W) {
    g.patchWidth = W;
    g.overlapX = g.padX = 0;
  }
  if (g.patchHeight > H) {
    g.patchHeight = H;
    g.overlapY = g.padY = 0;
  }
  const int columns = ceil_ratio(W, g.patchWidth - g.overlapX);
  const int rows = ceil_ratio(H, g.patchHeight - g.overlapY);
  if (columns < 1 || rows < 1)
    return std::nullopt;

  // Rebalance: the same counts, patches widened so the overlaps spread the slack evenly.
  if (columns >= 2)
    g.patchWidth = ceil_ratio(std::int64_t(columns) * g.overlapX + W, columns);
  if (rows >= 2)
    g.patchHeight = ceil_ratio(std::int64_t(rows) * g.overlapY + H, rows);

  g.columns = spans_visited(W, g.patchWidth, g.overlapX, columns);
  g.rows = spans_visited(H, g.patchHeight, g.overlapY, rows);
  const std::int64_t runs = std::int64_t(g.columns) * g.rows * (multisample ? 4 : 1);
  if (runs > std::numeric_limits<int>::max())
    return std::nullopt;
  g.inferenceRuns = int(runs);
  return g;
}

std::vector<PatchRect> patch_walk(const PatchGrid& g, int W, int H)
{
  const std::vector<Span> xs = spans_along(W, g.patchWidth, g.overlapX, g.columns);
  const std::vector<Span> ys = spans_along(H, g.patchHeight, g.overlapY, g.rows);
  std::vector<PatchRect> patches;
  patches.reserve(xs.size() * ys.size());
  for (std::size_t j = 0; j < ys.size(); ++j)
    for (std::size_t i = 0; i < xs.size(); ++i) {
      PatchRect p;
      p.index = int(patches.size());
      p.column = int(i);
      p.row = int(j);
      p.xStart = xs[i].start;
      p.xEnd = xs[i].end;
      p.yStart = ys[j].start;
      p.yEnd = ys[j].end;
      p.lastColumn = xs[i].last;
      p.lastRow = ys[j].last;
      patches.push_back(p);
    }
  return patches;
}

std::string grid_count_text(const char* prefix, const PatchGrid& g, bool multisample)
{
  const std::string shape = std::to_string(g.columns) + " x " + std::to_string(g.rows) + (multisample ? " * 4" : "");
  return prefix + std::to_string(multisample ? g.inferenceRuns : g.patchCount()) + " (" + shape + ")";
}

} // namespace magnifex
