// The precision rule of a network pass as the node sets it from its knobs and its machine.
#include <ATen/autocast_mode.h>
#include <ATen/ops/allclose.h>
#include <ATen/ops/equal.h>
#include <ATen/ops/full.h>
#include <ATen/ops/rand.h>

#include "NodeFixture.h"
#include "models/Precision.h"

using namespace magnifex_test;

TEST(RunNetwork, OnACpuWithoutBFloat16StaysInSinglePrecision)
{
  auto node = make_node(FakeMachineFacts::without_cuda(), magnifex::CpuBFloat16{});
  Magnifex& op = op_of(*node);
  ASSERT_TRUE(open_with_tiny_pack(*node));
  c10::NoGradGuard no_grad;
  const at::Tensor input = at::full({1, 3, 5, 7}, 0.4f);
  torch::jit::Module net = op.networks().still_net;
  const at::Tensor out = op.run_network(net, {input}, false);
  EXPECT_EQ(out.scalar_type(), c10::ScalarType::Float);
  EXPECT_EQ(out.sizes(), (c10::IntArrayRef{1, 3, 20, 28}));
  // The same network: only the memory layout of the pass differs, which may change the order of
  // the convolutions' sums.
  EXPECT_TRUE(at::allclose(out, net.forward({input}).toTensor(), 1e-5, 1e-6));
}

TEST(RunNetwork, BFloat16CpuPassesOnlyForArchivesThatAllowThem)
{
  // Two nodes on a BFloat16 CPU, one in a process that opted in, one in a process that did not.
  auto node = make_node(FakeMachineFacts::without_cuda(), magnifex::CpuBFloat16{true, "AMX-BF16", true});
  auto not_opted_in = make_node(FakeMachineFacts::without_cuda(), magnifex::CpuBFloat16{true, "AMX-BF16", false});
  Magnifex& op = op_of(*node);
  ASSERT_TRUE(open_with_tiny_pack(*node));
  ASSERT_TRUE(open_with_tiny_pack(*not_opted_in));
  c10::NoGradGuard no_grad;
  const at::Tensor input = at::rand({1, 3, 12, 10}) * 0.6;
  node->setKnob("mixedprecision", "false");
  torch::jit::Module net = op.networks().still_net;
  const at::Tensor full = op.run_network(net, {input}, false);
  node->setKnob("mixedprecision", "true");
  // The tiny pack's still networks measured below the bar when the pack was made.
  ASSERT_FALSE(magnifex::allows_cpu_bfloat16(net));
  EXPECT_TRUE(at::equal(op.run_network(net, {input}, false), full));

  net.setattr("cpu_bfloat16", true);
  Magnifex& other = op_of(*not_opted_in);
  torch::jit::Module other_net = other.networks().still_net;
  other_net.setattr("cpu_bfloat16", true);
  EXPECT_TRUE(at::equal(other.run_network(other_net, {input}, false), full)) << "the process did not opt in";
  const at::Tensor half = op.run_network(net, {input}, false);
  EXPECT_EQ(half.scalar_type(), c10::ScalarType::Float);
  const double difference = (half - full).abs().max().item<double>();
  // BFloat16 keeps 8 bits of mantissa: the convolutions differ, by far less than the picture
  // (values about 0.5 here).
  EXPECT_GT(difference, 0.0) << "the pass did not run in BFloat16";
  EXPECT_LT(difference, 0.05);
  EXPECT_FALSE(at::autocast::is_autocast_enabled(at::kCPU)) << "autocast left on after the pass";
}
