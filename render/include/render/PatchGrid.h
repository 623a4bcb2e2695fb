// The patch grid: how an image is cut into overlapping patches, and the order they are visited in.
// Shared by still and sequence mode. All values are source (input) pixels; y runs top to bottom.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace magnifex {

struct PatchGrid {
  int patchWidth = 0, patchHeight = 0; // nominal size after the rebalance
  int overlapX = 0, overlapY = 0;      // pixels two neighbours share
  int padX = 0, padY = 0;              // pixels at a shared edge left out of the cross-fade
  int columns = 0, rows = 0;           // patches visited along x and y
  int inferenceRuns = 0;               // network passes of a still render (x4 with multisample)

  int patchCount() const { return columns * rows; }
};

struct PatchRect {
  int index = 0; // rows outer, columns inner, from 0
  int column = 0, row = 0;
  int xStart = 0, xEnd = 0; // [xStart, xEnd)
  int yStart = 0, yEnd = 0; // [yStart, yEnd)
  bool lastColumn = false, lastRow = false;

  int width() const { return xEnd - xStart; }
  int height() const { return yEnd - yStart; }
};

// The grid of a W x H image. The counts are those of patches that are actually visited: when the
// rebalanced patches reach the far edge before the nominal count runs out, the row or column ends
// at the patch that reaches it (never a patch before the image origin). None when no grid exists:
// an empty image, `max_size` below 1, or counts the 32-bit progress arithmetic cannot hold.
std::optional<PatchGrid> compute_patch_grid(int W, int H, int max_size, int overlap, int padding, bool multisample);

// Every patch in visiting order.
std::vector<PatchRect> patch_walk(const PatchGrid& grid, int W, int H);

// prefix + "15 (5 x 3)", or with multisample the passes: prefix + "60 (5 x 3 * 4)".
std::string grid_count_text(const char* prefix, const PatchGrid& grid, bool multisample);

} // namespace magnifex
