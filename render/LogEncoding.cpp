#include "render/LogEncoding.h"

#include <ATen/TensorOperators.h>
#include <ATen/ops/log10.h>
#include <ATen/ops/pow.h>
#include <ATen/ops/where.h>

namespace magnifex {

namespace {

constexpr double kCut = 0.010591;
constexpr double kA = 5.555556;
constexpr double kB = 0.052272;
constexpr double kEncodeSlope = 0.24719;
constexpr double kDecodeSlope = 0.2471896;
constexpr double kD = 0.385537;
constexpr double kE = 5.367655;
constexpr double kF = 0.092809;
constexpr double kDecodeThreshold = 0.1496582;

} // namespace

at::Tensor logEncode(const at::Tensor& x)
{
  const at::Tensor log_branch = at::log10(x * kA + kB) * kEncodeSlope + kD;
  const at::Tensor linear_branch = x * kE + kF;
  return at::where(x > kCut, log_branch, linear_branch);
}

at::Tensor logDecode(const at::Tensor& y)
{
  const at::Tensor log_branch = (at::pow(10.0, (y - kD) / kDecodeSlope) - kB) / kA;
  const at::Tensor linear_branch = (y - kF) / kE;
  return at::where(y > kDecodeThreshold, log_branch, linear_branch);
}

} // namespace magnifex
