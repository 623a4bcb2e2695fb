#include <gtest/gtest.h>

#include "runtime/HostError.h"
#include "runtime/NodeScript.h"
#include "support/TestPlugin.h"

using host_runtime::HostError;
using host_runtime::readNodeScript;
using host_runtime::writeNodeScript;

TEST(NodeScript, WritesValueKnobsInOrderSkippingDoNotWriteButNotHidden)
{
  auto node = test_support::makeTestScale();
  node->rename("Scaler");
  node->setKnob("scale", "1x (copy)");
  node->setKnob("gain", "0.1");
  node->setKnob("secret", "on");
  EXPECT_EQ(writeNodeScript(*node), "TestScale {\n"
                                    " name Scaler\n"
                                    " scale \"1x (copy)\"\n"
                                    " contexts 1\n"
                                    " gain 0.100000001\n"
                                    " fail false\n"
                                    " secret true\n"
                                    " last_frame 2147483647\n"
                                    "}\n");
}

TEST(NodeScript, RoundTripsIntoAFreshNode)
{
  auto saved = test_support::makeTestScale();
  saved->setKnob("scale", "1x (copy)");
  saved->setKnob("gain", "-2.5e-7");
  saved->setKnob("contexts", "4");
  saved->setKnob("secret", "true");
  const std::string script = writeNodeScript(*saved);

  auto restored = test_support::makeTestScale();
  readNodeScript(*restored, "# saved by a test\n\n" + script);
  EXPECT_EQ(writeNodeScript(*restored), script);
  EXPECT_EQ(restored->name(), saved->name());
  // Reactions ran for the restored values, in panel order.
  EXPECT_EQ(restored->knob("last_changed").text(), std::string("secret"));
  EXPECT_FALSE(restored->knob("secret").isEnabled());
}

TEST(NodeScript, ReportsBadScriptsWithTheirLineAndChangesNothing)
{
  auto node = test_support::makeTestScale();
  const std::string before = writeNodeScript(*node);
  struct Case {
    const char* script;
    HostError::Kind kind;
    const char* message;
  };
  const Case cases[] = {
    {"Blur {\n}\n", HostError::Kind::Script, "in.nk:1: the script is for class Blur"},
    {"TestScale {\n gain 2\n", HostError::Kind::Script, "missing '}'"},
    {"TestScale {\n gain 2\n nope 1\n}\n", HostError::Kind::UnknownKnob, "in.nk:3: unknown knob nope"},
    {"TestScale {\n gain 2\n scale 8x\n}\n", HostError::Kind::BadValue, "in.nk:3: bad value '8x'"},
    {"TestScale {\n scale \"1x (copy)\n}\n", HostError::Kind::Script, "in.nk:2: unterminated"},
    {"TestScale {\n scale 1x (copy)\n}\n", HostError::Kind::Script, "must be quoted"},
    {"TestScale {\n gain\n}\n", HostError::Kind::Script, "in.nk:2: missing value"},
    {"TestScale {\n}\nTestScale {\n}\n", HostError::Kind::Script, "in.nk:3: text after the end"},
    {"", HostError::Kind::Script, "no node"},
  };
  for (const Case& c : cases) {
    try {
      readNodeScript(*node, c.script, "in.nk");
      ADD_FAILURE() << c.script;
    } catch (const HostError& e) {
      EXPECT_EQ(e.kind(), c.kind) << c.script;
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(writeNodeScript(*node), before);
}

TEST(NodeScript, QuotedValuesKeepEscapes)
{
  auto node = test_support::makeTestScale();
  readNodeScript(*node, "TestScale {\n name \"odd \\\"name\\\"\"\n scale \"4x\"\n}\n");
  EXPECT_EQ(node->name(), "odd \"name\"");
  EXPECT_EQ(node->knobText("scale"), "4x");
  EXPECT_NE(writeNodeScript(*node).find(" name \"odd \\\"name\\\"\"\n"), std::string::npos);
}
