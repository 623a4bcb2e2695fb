// The network groups' bookkeeping without a companion library: archives from a scripted source.
#include <cmath>
#include <sstream>

#include <gtest/gtest.h>

#include <ATen/ops/ones.h>
#include <torch/csrc/jit/serialization/export.h>

#include "models/NetworkSet.h"

using namespace magnifex;

namespace {

// A small archive whose one parameter holds `weights` values.
std::string small_archive(int weights)
{
  torch::jit::Module net("Net");
  net.register_parameter("weight", at::ones({weights}), false);
  net.define("def forward(self, x):\n  return x * self.weight[0]\n");
  std::ostringstream out;
  net.save(out);
  return out.str();
}

// Every code hands out the same small archive, or none at all.
class OneArchive : public ArchiveSource {
public:
  explicit OneArchive(bool empty) : empty_(empty), bytes_(small_archive(2)) {}
  ArchiveBytes archive(ModelCode) const override
  {
    if (empty_)
      return {};
    return {bytes_.data(), bytes_.size()};
  }

private:
  bool empty_;
  std::string bytes_;
};

// The plates' PSNR archives hold one weight more than their GAN ones: they cannot be blended.
class MismatchedPlatesPsnr : public ArchiveSource {
public:
  ArchiveBytes archive(ModelCode code) const override
  {
    const std::string name = model_code_name(code);
    const std::string& bytes = name.back() == 'P' && name.find("CG") == std::string::npos ? longer_ : bytes_;
    return {bytes.data(), bytes.size()};
  }

private:
  std::string bytes_ = small_archive(2), longer_ = small_archive(3);
};

} // namespace

// A group that fails its signature is kept (loaded once, reported at every use); one that fails to
// load stays empty and reports the stage, the exception's text going to the log.
TEST(NetworkSet, CorruptGroupsAreKeptFailedLoadsTriedAgain)
{
  NetworkSet corrupt(std::make_shared<OneArchive>(false));
  NetworkRequest still;
  std::vector<std::string> log;
  auto to_log = [&log](const std::string& line) { log.push_back(line); };
  EXPECT_EQ(corrupt.ensure(still, to_log), "Loaded model is corrupt, please re-install");
  EXPECT_EQ(corrupt.still_state, GroupState::Corrupt);
  EXPECT_TRUE(corrupt.ready());
  const void* loaded = corrupt.still_gan_net._ivalue().get();
  EXPECT_EQ(corrupt.ensure(still, to_log), "Loaded model is corrupt, please re-install");
  EXPECT_EQ(corrupt.still_gan_net._ivalue().get(), loaded);
  NetworkRequest hybrid;
  hybrid.sequence = hybrid.cg = hybrid.hybrid = true;
  corrupt.invalidate();
  EXPECT_EQ(corrupt.ensure(hybrid, to_log), "Loaded models are corrupt, please re-install");
  EXPECT_TRUE(log.empty());

  NetworkSet empty(std::make_shared<OneArchive>(true));
  for (int attempt = 0; attempt < 2; ++attempt) {
    log.clear();
    EXPECT_EQ(empty.ensure(hybrid, to_log), "Error loading the sequence models");
    EXPECT_FALSE(empty.sequence_nets_loaded() || empty.ready());
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], "Error loading the sequence models");
    EXPECT_FALSE(log[1].empty());
  }
}

TEST(NetworkSet, DetailsOtherThanTheBlendedOnesBlendAgain)
{
  NetworkSet set(std::make_shared<OneArchive>(false));
  NetworkRequest request;
  request.details = 0.4f;
  set.ensure(request, [](const std::string&) {});
  ASSERT_TRUE(set.blend_ready);
  set.follow_details(0.4f);
  EXPECT_TRUE(set.blend_ready);
  for (float details : {0.5f, std::nanf("")}) {
    set.blend_ready = true;
    set.follow_details(details);
    EXPECT_FALSE(set.blend_ready) << details;
  }
  set.prepared_details = std::nanf("");
  set.blend_ready = true;
  set.follow_details(0.4f);
  EXPECT_FALSE(set.blend_ready);
}

// Networks placed on one device are placed again when a render asks for another (a changed
// cuda_deviceid clears nothing else). No second device here: the meta device, which TorchScript
// modules cannot move to, shows that the move is tried, fails like a load, and is tried again.
TEST(NetworkSet, AnotherDevicePlacesTheWorkingNetworksAgain)
{
  NetworkSet set(std::make_shared<OneArchive>(false));
  const auto quiet = [](const std::string&) {};
  NetworkRequest request;
  ASSERT_EQ(set.ensure(request, quiet), "Loaded model is corrupt, please re-install");
  ASSERT_TRUE(set.ready());
  request.device = c10::Device(c10::DeviceType::Meta);
  EXPECT_EQ(set.ensure(request, quiet), "Error loading the still model");
  EXPECT_FALSE(set.ready() || set.still_nets_loaded());
  request.device = c10::Device(c10::DeviceType::CPU);
  set.ensure(request, quiet);
  EXPECT_TRUE(set.ready());
  EXPECT_EQ(set.device, request.device);
}

// GAN and PSNR archives of one kind that cannot be blended weight by weight fail like a load, and
// the next call tries again; the GAN end alone needs no blend. (Every archive here fails the
// signature check, which a group that loads and blends reports.)
TEST(NetworkSet, ArchivesThatCannotBeBlendedFailTheirGroup)
{
  struct Case {
    bool sequence, cg, hybrid;
    float details;
    const char* problem;
  };
  const Case cases[] = {
    {false, false, false, 0.9f, "Error loading the still model"},
    {false, false, false, 0.0f, "Error loading the still model"},
    {false, false, false, 1.0f, "Loaded model is corrupt, please re-install"},
    {true, false, false, 0.9f, "Error loading the sequence models"},
    {true, true, false, 0.9f, "Loaded models are corrupt, please re-install"},
    {true, true, true, 0.9f, "Error loading the hybrid sequence models"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.problem);
    NetworkSet set(std::make_shared<MismatchedPlatesPsnr>());
    NetworkRequest request;
    request.sequence = c.sequence;
    request.cg = c.cg;
    request.hybrid = c.hybrid;
    request.details = c.details;
    for (int attempt = 0; attempt < 2; ++attempt)
      EXPECT_EQ(set.ensure(request, [](const std::string&) {}), c.problem);
  }
}
