// Knob values that can only give a wrong picture, refused as node errors before a render.
#pragma once

#include <optional>
#include <string>

namespace magnifex {

// The smallest max_size that renders what larger patches render: below it a patch sees too
// little around it, and the picture changes (and many more passes run).
constexpr int kMinPatchSize = 32;

// `details` blends the PSNR and GAN networks' weights: outside 0..1 (or NaN) it extrapolates
// them into networks nobody trained.
std::optional<std::string> details_problem(float details);

std::optional<std::string> patch_size_problem(int max_size);

} // namespace magnifex
