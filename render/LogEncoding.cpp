#include "render/LogEncoding.h"

#include <cmath>

#include <ATen/TensorOperators.h>
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

// Each branch is one temporary worked on in place: these run over whole images at 16 times the
// input's size.
at::Tensor logEncode(const at::Tensor& x)
{
  const at::Tensor log_branch = x.mul(kA).add_(kB).log10_().mul_(kEncodeSlope).add_(kD);
  const at::Tensor linear_branch = x.mul(kE).add_(kF);
  return at::where(x > kCut, log_branch, linear_branch);
}

at::Tensor logDecode(const at::Tensor& y)
{
  // 10^t as exp(t ln 10): the same to float rounding, and a quarter faster.
  static const double kExponentScale = std::log(10.0) / kDecodeSlope;
  const at::Tensor log_branch = y.sub(kD).mul_(kExponentScale).exp_().sub_(kB).div_(kA);
  const at::Tensor linear_branch = y.sub(kF).div_(kE);
  return at::where(y > kDecodeThreshold, log_branch, linear_branch);
}

} // namespace magnifex
