// Builds Magnifex nodes on a fake machine and drives them through the host runtime.
#pragma once

#include <algorithm>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "DDImageHost/KnobAccess.h"
#include "DDImageHost/OpControl.h"
#include "DDImageHost/Process.h"
#include "FakeMachine.h"
#include "models/NetworkSet.h"
#include "op/Magnifex.h"
#include "op/ScriptedNetworks.h"
#include "render/sequence/SequenceMemory.h"
#include "runtime/HostNode.h"
#include "runtime/MemoryImageSource.h"
#include "runtime/RenderSession.h"

namespace magnifex_test {

// A node on that machine; `scripted` networks stand in for the loaded ones once it has opened.
inline std::unique_ptr<host_runtime::HostNode>
make_node(std::shared_ptr<const FakeMachineFacts> facts = FakeMachineFacts::without_cuda(),
          std::optional<magnifex::CpuBFloat16> cpu = std::nullopt,
          std::shared_ptr<const magnifex::ScriptedNetworks> scripted = nullptr)
{
  set_machine(std::move(facts), std::move(cpu), std::move(scripted));
  return host_runtime::HostNode::create(kTestClass, "Magnifex1");
}

// The next opens find the companion library of that plug-in directory of the build ("tiny", ...).
inline void use_plugin_dir(const std::string& name)
{
  DD::Image::host::registerPluginFile(std::string(MAGNIFEX_PLUGINS_DIR) + "/" + name + "/Magnifex.so");
}

inline Magnifex& op_of(const host_runtime::HostNode& node)
{
  return dynamic_cast<Magnifex&>(node.op());
}

// Validates and opens as the host does before a render, with the tiny pack; false after a node error.
inline bool open_with_tiny_pack(host_runtime::HostNode& node)
{
  use_plugin_dir("tiny");
  DD::Image::Iop& op = node.op();
  DD::Image::host::beginRender(op);
  op.validate(true);
  op.open();
  return !DD::Image::host::hasError(op);
}

// Render options asking for these channels.
inline host_runtime::RenderOptions with_channels(DD::Image::ChannelSet channels)
{
  host_runtime::RenderOptions o;
  o.channels = channels;
  return o;
}

// True while nothing was written into the plane the host handed over (it starts as zeros).
inline bool plane_is_zero(const DD::Image::ImagePlane& plane)
{
  const float* p = plane.readable();
  const std::size_t n = std::size_t(plane.bounds().w()) * std::size_t(plane.bounds().h()) * std::size_t(plane.nComps());
  return std::all_of(p, p + n, [](float v) { return v == 0.0f; });
}

// A TorchScript network of the given forward method, to stand in for a loaded one after opening.
inline torch::jit::Module scripted(const std::string& forward_source)
{
  torch::jit::Module net("Replacement");
  net.define(forward_source);
  return net;
}

// Networks that stand in for the loaded ones: any of still, flow, sequence and colour.
inline std::shared_ptr<const magnifex::ScriptedNetworks> networks(magnifex::ScriptedNetworks nets)
{
  return std::make_shared<const magnifex::ScriptedNetworks>(std::move(nets));
}

// The knob of that name as the panel shows it now.
inline DD::Image::host::KnobInfo knob_info(const host_runtime::HostNode& node, const std::string& name)
{
  for (const DD::Image::host::KnobInfo& k : node.knobs())
    if (k.name && *k.name == name)
      return k;
  ADD_FAILURE() << "no knob " << name;
  return {};
}

// An RGB(A) source of constant frames first..last, format w x h placed at (x, y).
inline std::shared_ptr<host_runtime::MemoryImageSource> plate(int w, int h, int first = 1, int last = 1, int x = 0,
                                                              int y = 0, bool alpha = false, double pixel_aspect = 1.0)
{
  DD::Image::Format format(w, h, pixel_aspect);
  format.set(x, y, x + w, y + h);
  auto source = std::make_shared<host_runtime::MemoryImageSource>(format);
  std::vector<DD::Image::Channel> channels{DD::Image::Chan_Red, DD::Image::Chan_Green, DD::Image::Chan_Blue};
  if (alpha)
    channels.push_back(DD::Image::Chan_Alpha);
  for (int f = first; f <= last; ++f)
    source->addFrame(
      f, host_runtime::Image::filled(DD::Image::Box(x, y, x + w, y + h), channels, [](int, int, int) { return 0.5f; }));
  return source;
}

} // namespace magnifex_test
