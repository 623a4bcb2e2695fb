// The TestScale plug-in, loaded once per test process through the host's loader.
#pragma once

#include <memory>

#include "runtime/HostNode.h"
#include "runtime/PluginLibrary.h"

namespace test_support {

inline const host_runtime::PluginLibrary& testPlugin()
{
  static const host_runtime::PluginLibrary plugin = host_runtime::PluginLibrary::load(TEST_PLUGIN_PATH);
  return plugin;
}

inline std::unique_ptr<host_runtime::HostNode> makeTestScale()
{
  testPlugin();
  return host_runtime::HostNode::create("TestScale");
}

} // namespace test_support
