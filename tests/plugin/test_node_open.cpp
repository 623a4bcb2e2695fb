// Opening the node: the companion library found or not, the networks its packs hold loaded,
// blended and checked as the knobs ask. The rules of the network groups themselves (retries, kept
// corrupt groups, blending again) are NetworkSet's, tested in test_network_set.cpp.
#include <cstdlib>
#include <filesystem>

#include <ATen/autocast_mode.h>
#include <ATen/ops/allclose.h>
#include <ATen/ops/equal.h>
#include <ATen/ops/full.h>
#include <ATen/ops/rand.h>

#include "DDImageHost/OpControl.h"
#include "DDImageHost/Process.h"
#include "NodeFixture.h"
#include "common/ScratchDir.h"
#include "models/MemAdapter.h"
#include "models/ModelLibrary.h"
#include "models/Precision.h"

using namespace magnifex_test;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

// Validates and opens as the host does before a render; false when the node reported an error.
bool open_node(host_runtime::HostNode& node)
{
  DD::Image::Iop& op = node.op();
  DD::Image::host::beginRender(op);
  op.validate(true);
  op.open();
  return !DD::Image::host::hasError(op);
}

std::string node_error(const host_runtime::HostNode& node)
{
  return DD::Image::host::errorText(node.op());
}

std::vector<at::Tensor> params(const torch::jit::Module& m)
{
  std::vector<at::Tensor> list;
  for (const at::Tensor& p : m.parameters(true))
    list.push_back(p.detach().clone());
  return list;
}

// A fresh copy of the archive of a model code, on the CPU.
torch::jit::Module archive(const char* code)
{
  magnifex::ModelGetter getter = magnifex::model_getter(magnifex::model_code_from_name(code));
  EXPECT_NE(getter, nullptr) << code;
  std::size_t size = 0;
  const void* data = getter(&size);
  return magnifex::load_archive(data, size, c10::Device(c10::DeviceType::CPU));
}

bool same_params(const torch::jit::Module& a, const torch::jit::Module& b)
{
  const auto pa = params(a), pb = params(b);
  if (pa.size() != pb.size())
    return false;
  for (std::size_t i = 0; i < pa.size(); ++i)
    if (!pa[i].sizes().equals(pb[i].sizes()) || !at::equal(pa[i], pb[i]))
      return false;
  return true;
}

// Every parameter of `working` is psnr * (1 - d) + gan * d.
void expect_blend(const torch::jit::Module& working, const torch::jit::Module& gan, const torch::jit::Module& psnr,
                  float d)
{
  const auto w = params(working), g = params(gan), p = params(psnr);
  ASSERT_EQ(w.size(), g.size());
  ASSERT_EQ(w.size(), p.size());
  for (std::size_t i = 0; i < w.size(); ++i)
    EXPECT_TRUE(at::allclose(w[i], p[i].mul(1.0 - d).add(g[i].mul(d)), 1e-5, 1e-6)) << "parameter " << i;
}

const void* identity(const torch::jit::Module& m)
{
  return m._ivalue().get();
}

} // namespace

TEST(NodeOpen, StillOpenLoadsChecksBlendsAndResetsTheCounter)
{
  use_plugin_dir("tiny");
  auto node = make_node();
  const Magnifex& op = op_of(*node);
  ASSERT_TRUE(open_node(*node)) << node_error(*node);
  EXPECT_TRUE(op.networks().still_nets_loaded());
  EXPECT_FALSE(op.networks().sequence_nets_loaded() || op.networks().hybrid_nets_loaded());
  EXPECT_TRUE(op.networks().blend_ready && op.networks().nets_on_device);
  EXPECT_EQ(op.frame_state().render_count, 0);
  EXPECT_FLOAT_EQ(op.networks().prepared_details, 0.9f);

  // The sources are the archives, unchanged; the working network is their blend.
  EXPECT_TRUE(same_params(op.networks().still_gan_net, archive("4PstG")));
  EXPECT_TRUE(same_params(op.networks().still_psnr_net, archive("4PstP")));
  expect_blend(op.networks().still_net, op.networks().still_gan_net, op.networks().still_psnr_net, 0.9f);
}

TEST(NodeOpen, BlendEndsAndMiddle)
{
  use_plugin_dir("tiny");
  auto node = make_node();
  Magnifex& op = op_of(*node);
  ASSERT_TRUE(open_node(*node));
  const void* gan_before = identity(op.networks().still_gan_net);

  node->setKnob("details", "1");
  ASSERT_TRUE(open_node(*node));
  EXPECT_TRUE(same_params(op.networks().still_net, op.networks().still_gan_net));
  node->setKnob("details", "0");
  ASSERT_TRUE(open_node(*node));
  EXPECT_TRUE(same_params(op.networks().still_net, op.networks().still_psnr_net));
  node->setKnob("details", "0.5");
  ASSERT_TRUE(open_node(*node));
  expect_blend(op.networks().still_net, op.networks().still_gan_net, op.networks().still_psnr_net, 0.5f);

  // Only blended again: the sources were never reloaded and are still the archives.
  EXPECT_EQ(identity(op.networks().still_gan_net), gan_before);
  EXPECT_TRUE(same_params(op.networks().still_gan_net, archive("4PstG")));
  EXPECT_TRUE(same_params(op.networks().still_psnr_net, archive("4PstP")));
}

TEST(NodeOpen, ASecondOpenWithoutChangesTouchesNothing)
{
  use_plugin_dir("tiny");
  auto node = make_node();
  Magnifex& op = op_of(*node);
  ASSERT_TRUE(open_node(*node));
  const void* working = identity(op.networks().still_net);
  // Mark the working weights: a reblend would overwrite the mark.
  {
    c10::NoGradGuard no_grad;
    (*op.networks().still_net.parameters(true).begin()).add_(1000.0);
  }
  const at::Tensor marked = (*op.networks().still_net.parameters(true).begin()).clone();
  host_runtime::RenderSession session(*node, plate(16, 8));
  ASSERT_EQ(session.renderFrame(1).status, host_runtime::FrameStatus::Ok); // opens again, then counts
  EXPECT_EQ(op.frame_state().render_count, 1);
  ASSERT_TRUE(open_node(*node));
  EXPECT_EQ(identity(op.networks().still_net), working);
  EXPECT_TRUE(at::equal(*op.networks().still_net.parameters(true).begin(), marked));
  EXPECT_EQ(op.frame_state().render_count, 0);
}

TEST(NodeOpen, ScaleChangeReloadsTheOtherScale)
{
  use_plugin_dir("tiny");
  auto node = make_node();
  Magnifex& op = op_of(*node);
  ASSERT_TRUE(open_node(*node));
  node->setKnob("scale", "2x");
  ASSERT_TRUE(open_node(*node));
  EXPECT_TRUE(same_params(op.networks().still_gan_net, archive("2PstG")));
  EXPECT_TRUE(same_params(op.networks().still_psnr_net, archive("2PstP")));
  expect_blend(op.networks().still_net, op.networks().still_gan_net, op.networks().still_psnr_net, 0.9f);
}

TEST(NodeOpen, SequenceGroupsFollowTheMaterialType)
{
  use_plugin_dir("tiny");
  auto node = make_node();
  Magnifex& op = op_of(*node);
  node->setKnobs({{"mode", "sequence"}, {"first_frame", "1"}});
  ASSERT_TRUE(open_node(*node)) << node_error(*node);
  EXPECT_TRUE(op.networks().sequence_nets_loaded());
  EXPECT_FALSE(op.networks().still_nets_loaded() || op.networks().hybrid_nets_loaded());
  EXPECT_TRUE(same_params(op.networks().flow_net, archive("FLWN")));
  EXPECT_TRUE(same_params(op.networks().sequence_gan_net, archive("4PAsrG")));
  EXPECT_TRUE(same_params(op.networks().sequence_psnr_net, archive("4PAsrP")));
  expect_blend(op.networks().sequence_net, op.networks().sequence_gan_net, op.networks().sequence_psnr_net, 0.9f);

  node->setKnob("type", "CG [RGBA]");
  ASSERT_TRUE(open_node(*node));
  EXPECT_TRUE(same_params(op.networks().sequence_gan_net, archive("4CGsrG")));
  EXPECT_FALSE(op.networks().hybrid_nets_loaded());

  node->setKnob("type", "Hybrid (Alexa+CG) [RGBA]");
  ASSERT_TRUE(open_node(*node));
  EXPECT_TRUE(op.networks().hybrid_nets_loaded());
  EXPECT_TRUE(same_params(op.networks().sequence_gan_net, archive("4CGsrG")));
  EXPECT_TRUE(same_params(op.networks().sequence_rgb_gan_net, archive("4PAsrG")));
  EXPECT_TRUE(same_params(op.networks().sequence_rgb_psnr_net, archive("4PAsrP")));
  expect_blend(op.networks().sequence_rgb_net, op.networks().sequence_rgb_gan_net, op.networks().sequence_rgb_psnr_net,
               0.9f);
}

TEST(NodeOpen, ModeChangeLoadsTheOtherMode)
{
  use_plugin_dir("tiny");
  auto node = make_node();
  Magnifex& op = op_of(*node);
  ASSERT_TRUE(open_node(*node));
  node->setKnob("mode", "sequence");
  ASSERT_TRUE(open_node(*node));
  EXPECT_TRUE(op.networks().sequence_nets_loaded() && op.networks().blend_ready && op.networks().nets_on_device);
  EXPECT_FALSE(op.networks().still_nets_loaded());
}

// A corrupt group is kept while the knobs keep it (NetworkSet's rule); another mode empties it,
// so coming back loads and checks it again.
TEST(NodeOpen, AnArchiveWithAWrongSignatureIsReloadedAfterAModeChange)
{
  use_plugin_dir("broken-still-701");
  auto node = make_node();
  Magnifex& op = op_of(*node);
  EXPECT_FALSE(open_node(*node));
  EXPECT_EQ(node_error(*node), "Loaded model is corrupt, please re-install");
  EXPECT_TRUE(op.networks().still_nets_loaded()); // kept, not loaded again
  const void* loaded = identity(op.networks().still_gan_net);

  // The pack's sequence archives are fine.
  node->setKnobs({{"mode", "sequence"}, {"first_frame", "1"}});
  EXPECT_TRUE(open_node(*node)) << node_error(*node);
  node->setKnob("mode", "still");
  EXPECT_FALSE(open_node(*node));
  EXPECT_NE(identity(op.networks().still_gan_net), loaded);
}

TEST(NodeOpen, SequenceArchiveWithAWrongSignature)
{
  use_plugin_dir("broken-seq2x-72");
  auto node = make_node();
  node->setKnobs({{"mode", "sequence"}, {"scale", "2x"}, {"first_frame", "1"}});
  EXPECT_FALSE(open_node(*node));
  EXPECT_EQ(node_error(*node), "Loaded models are corrupt, please re-install");
  EXPECT_TRUE(op_of(*node).networks().sequence_nets_loaded());

  // The 4x archives of the same pack are fine.
  node->setKnob("scale", "4x");
  EXPECT_TRUE(open_node(*node)) << node_error(*node);
}

// The next open tries again: NetworkSet's rule.
TEST(NodeOpen, EmptyArchiveEndsTheOpenAndKeepsTheCount)
{
  use_plugin_dir("broken-empty-still");
  auto node = make_node();
  const Magnifex& op = op_of(*node);
  // A sequence frame the pack can render, so the counter has something to keep.
  node->setKnobs({{"mode", "sequence"}, {"first_frame", "1"}, {"last_frame", "1"}});
  host_runtime::RenderSession session(*node, plate(16, 8));
  ASSERT_EQ(session.renderFrame(1).status, host_runtime::FrameStatus::Ok);
  node->setKnob("mode", "still");
  CaptureStdout();
  EXPECT_FALSE(open_node(*node));
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(node_error(*node), "Error loading the still model");
  EXPECT_EQ(out.rfind("Error loading the still model\n", 0), 0u) << out;
  EXPECT_GT(out.size(), std::string("Error loading the still model\n").size()); // the exception's text
  EXPECT_FALSE(op.networks().still_nets_loaded());
  EXPECT_FALSE(op.networks().blend_ready);
  EXPECT_EQ(op.frame_state().render_count, 1);
}

TEST(NodeOpen, EmptySequenceAndHybridArchives)
{
  use_plugin_dir("broken-empty-plates-seq");
  auto node = make_node();
  Magnifex& op = op_of(*node);
  node->setKnobs({{"mode", "sequence"}, {"first_frame", "1"}});
  CaptureStdout();
  EXPECT_FALSE(open_node(*node));
  EXPECT_EQ(node_error(*node), "Error loading the sequence models");

  // Hybrid takes its sequence group from the CG archives, its hybrid group from the plates ones.
  node->setKnob("type", "Hybrid (Alexa+CG) [RGBA]");
  EXPECT_FALSE(open_node(*node));
  GetCapturedStdout();
  EXPECT_EQ(node_error(*node), "Error loading the hybrid sequence models");
  EXPECT_TRUE(op.networks().sequence_nets_loaded());
  EXPECT_FALSE(op.networks().hybrid_nets_loaded());
}

TEST(NodeOpen, MissingGettersStopTheOpenQuietly)
{
  use_plugin_dir("broken-missing-4CGstG");
  auto node = make_node();
  const Magnifex& op = op_of(*node);
  CaptureStderr();
  EXPECT_TRUE(open_node(*node)); // no node error
  const std::string err = GetCapturedStderr();
  EXPECT_NE(err.find("[Magnifex] GetProcAddress failed for bw_get_model_4CGstG"), std::string::npos) << err;
  EXPECT_NE(err.find("[Magnifex] Failed to resolve one or more model symbols\n"), std::string::npos) << err;
  EXPECT_LT(err.find("bw_get_model_4CGstG"), err.find("Failed to resolve"));
  EXPECT_FALSE(op.networks().still_nets_loaded()); // the open ended before the networks
  EXPECT_EQ(op.frame_state().render_count, 0);
}

TEST(NodeOpen, MissingLibraryPrintsThreeLinesAtEveryOpen)
{
  const magnifex::test::ScratchDir scratch("magnifex-no-companion");
  const std::filesystem::path& dir = scratch.path();
  DD::Image::host::registerPluginFile((dir / "Magnifex.so").string());
  auto node = make_node();
  for (int i = 0; i < 2; ++i) {
    CaptureStderr();
    EXPECT_TRUE(open_node(*node));
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(err.rfind("[Magnifex] Failed to load MagnifexModels.so\n  plugin_path: ", 0), 0u) << err;
    EXPECT_NE(err.find("  models_path: " + (dir / "MagnifexModels.so").string() + "\n"), std::string::npos) << err;
    EXPECT_NE(err.find("\n[Magnifex] Failed to load MagnifexModels.so\n[Magnifex] Failed to resolve one or more "
                       "model symbols\n"),
              std::string::npos)
      << err;
  }
  EXPECT_FALSE(op_of(*node).networks().still_nets_loaded());
}
