#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "DDImage/Op.h"
#include "DDImage/plugins.h"
#include "DDImageHost/Process.h"
#include "common/ScratchDir.h"
#include "runtime/HostError.h"
#include "runtime/HostNode.h"
#include "runtime/PluginRenderedChannels.h"
#include "support/HostErrors.h"
#include "support/TestPlugin.h"

using host_runtime::HostError;
using host_runtime::HostNode;
using host_runtime::PluginLibrary;

TEST(PluginLoading, RegistersTheClassAndTheFileForPluginFind)
{
  const PluginLibrary& plugin = test_support::testPlugin();
  ASSERT_NE(DD::Image::Op::Description::find("TestScale"), nullptr);
  EXPECT_STREQ(DD::Image::Op::Description::find("TestScale")->menu, "Test/TestScale");
  const char* found = DD::Image::plugin_find("TestScale.so");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(std::filesystem::path(found), std::filesystem::weakly_canonical(plugin.path()));
  // A plug-in asking for its file by another platform's name finds the loaded one.
  EXPECT_STREQ(DD::Image::plugin_find("TestScale.dll"), found);
  EXPECT_NE(plugin.symbol("host_trace_fields"), nullptr);
  EXPECT_EQ(plugin.symbol("no_such_symbol"), nullptr);
  // It does not say which channels its node renders: all are its own.
  EXPECT_FALSE(host_runtime::pluginTellsRenderedChannels(plugin));
  EXPECT_EQ(host_runtime::pluginRenderedChannels(plugin, HostNode::create("TestScale")->op()), std::nullopt);
}

TEST(PluginLoading, FailuresCarryTheLoadersMessage)
{
  try {
    PluginLibrary::load("/nonexistent/Nothing.so");
    FAIL();
  } catch (const HostError& e) {
    EXPECT_EQ(e.kind(), HostError::Kind::PluginLoad);
    EXPECT_NE(std::string(e.what()).find("/nonexistent/Nothing.so"), std::string::npos);
  }
  const magnifex::test::ScratchDir scratch("plugin-loading-test");
  const auto notALibrary = scratch.path() / "host_tests_not_a_library.so";
  std::ofstream(notALibrary) << "plain text";
  try {
    PluginLibrary::load(notALibrary.string());
    FAIL();
  } catch (const HostError& e) {
    EXPECT_EQ(e.kind(), HostError::Kind::PluginLoad);
    // dlerror() names the file and the reason.
    EXPECT_NE(std::string(e.what()).find("host_tests_not_a_library.so:"), std::string::npos) << e.what();
  }
}

TEST(PluginLoading, NodeCreationFailuresAreTold)
{
  test_support::testPlugin();
  EXPECT_EQ(test_support::hostErrorKind([] { HostNode::create("NoSuchClass"); }), HostError::Kind::UnknownClass);
  DD::Image::host::failNextAllocations(1);
  EXPECT_EQ(test_support::hostErrorKind([] { HostNode::create("TestScale"); }), HostError::Kind::NullOp);
  // Only that one allocation failed.
  auto node = HostNode::create("TestScale");
  EXPECT_EQ(node->className(), "TestScale");
  EXPECT_EQ(node->name().rfind("TestScale", 0), 0u);
  EXPECT_NE(node->name(), HostNode::create("TestScale")->name());
}
