#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <utility>
#include <vector>

#include "DDImage/Knobs.h"
#include "runtime/HostError.h"
#include "runtime/JsonText.h"
#include "runtime/PanelJson.h"
#include "support/HostErrors.h"
#include "support/TestPlugin.h"

using DD::Image::Knob;
using DD::Image::host::KnobKind;
using host_runtime::HostError;

namespace {

std::string lastChanged(const host_runtime::HostNode& node)
{
  return node.knob("last_changed").text();
}

} // namespace

TEST(HostNodeKnobs, PanelListsEveryKnobAsDeclared)
{
  auto node = test_support::makeTestScale();
  const nlohmann::json panel = nlohmann::json::parse(host_runtime::panelJson(*node));
  std::vector<std::string> kinds;
  for (const auto& k : panel)
    kinds.push_back(k.at("kind").get<std::string>());
  EXPECT_EQ(kinds, (std::vector<std::string>{"text", "text", "divider", "group_begin", "enum", "int", "float", "bool",
                                             "bool", "group_end", "button", "tab", "text", "int", "int", "bool"}));
  const auto& label = panel[0];
  EXPECT_TRUE(label.at("name").is_null());
  EXPECT_EQ(label.at("label").get<std::string>(), "Test: ");
  EXPECT_EQ(panel[1].at("text").get<std::string>(), "none");
  EXPECT_EQ(panel[1].at("flags").get<double>(), double(Knob::DO_NOT_WRITE));
  EXPECT_TRUE(panel[2].at("label").is_null());
  EXPECT_TRUE(panel[2].at("text").is_null());
  EXPECT_EQ(panel[3].at("name").get<std::string>(), "Options");
  EXPECT_TRUE(panel[3].at("closed").get<bool>());
  const auto& scale = panel[4];
  EXPECT_EQ(scale.at("value").get<double>(), 0);
  EXPECT_EQ(scale.at("value_label").get<std::string>(), "2x");
  EXPECT_EQ(scale.at("entries").size(), 3u);
  EXPECT_EQ(scale.at("tooltip").get<std::string>(), "Output size.");
  EXPECT_EQ(scale.at("flags").get<double>(), double(Knob::EARLY_STORE));
  EXPECT_EQ(panel[6].at("value").get<double>(), 1.0);
  EXPECT_EQ(panel[6].at("flags").get<double>(), double(Knob::STARTLINE));
  // Set, then the same flag cleared again by the next pseudo-knob.
  EXPECT_EQ(panel[8].at("flags").get<double>(), double(Knob::HIDDEN));
  EXPECT_FALSE(panel[7].at("value").get<bool>());
  EXPECT_EQ(panel[11].at("label").get<std::string>(), "About");
  EXPECT_TRUE(panel[10].at("value").is_null());
}

TEST(HostNodeKnobs, SetsValuesFromScriptTextAndReactsOnlyToChanges)
{
  auto node = test_support::makeTestScale();
  EXPECT_TRUE(node->setKnob("scale", "4x"));
  EXPECT_EQ(node->knob("scale").get_value(), 1.0);
  EXPECT_EQ(lastChanged(*node), "scale");
  EXPECT_TRUE(node->setKnob("scale", "2"));
  EXPECT_EQ(node->knobText("scale"), "1x (copy)");
  EXPECT_TRUE(node->setKnob("gain", "0.25"));
  EXPECT_EQ(node->knobText("gain"), "0.25");
  for (const char* on : {"true", "1", "on", "YES"}) {
    node->setKnob("fail", "false");
    EXPECT_TRUE(node->setKnob("fail", on)) << on;
  }
  EXPECT_TRUE(node->setKnob("contexts", "-3"));
  EXPECT_EQ(node->knob("contexts").get_value(), -3.0);

  node->knob("last_changed").text("untouched");
  EXPECT_FALSE(node->setKnob("gain", "0.25"));
  EXPECT_EQ(lastChanged(*node), "untouched");
}

TEST(HostNodeKnobs, RejectsUnknownKnobsAndBadValuesWithoutChangingAnything)
{
  auto node = test_support::makeTestScale();
  EXPECT_EQ(test_support::hostErrorKind([&] { node->setKnob("nope", "1"); }), HostError::Kind::UnknownKnob);
  EXPECT_EQ(test_support::hostErrorKind([&] { node->setKnob("scale", "3x"); }), HostError::Kind::BadValue);
  EXPECT_EQ(test_support::hostErrorKind([&] { node->setKnob("scale", "3"); }), HostError::Kind::BadValue);
  EXPECT_EQ(test_support::hostErrorKind([&] { node->setKnob("contexts", "1.5"); }), HostError::Kind::BadValue);
  EXPECT_EQ(test_support::hostErrorKind([&] { node->setKnob("contexts", "99999999999"); }), HostError::Kind::BadValue);
  EXPECT_EQ(test_support::hostErrorKind([&] { node->setKnob("fail", "maybe"); }), HostError::Kind::BadValue);
  EXPECT_EQ(test_support::hostErrorKind([&] { node->setKnob("gain", "1x"); }), HostError::Kind::BadValue);
  EXPECT_EQ(test_support::hostErrorKind([&] { node->setKnob("reset", "1"); }), HostError::Kind::BadValue);
  EXPECT_EQ(test_support::hostErrorKind([&] { node->pressButton("gain"); }), HostError::Kind::BadValue);
  EXPECT_EQ(test_support::hostErrorKind([&] {
              node->setKnobs({{"gain", "2"}, {"scale", "bad"}});
            }),
            HostError::Kind::BadValue);
  EXPECT_EQ(node->knobText("gain"), "1");
  EXPECT_EQ(lastChanged(*node), "none");
}

TEST(HostNodeKnobs, ButtonsAndThePanelCallKnobChanged)
{
  auto node = test_support::makeTestScale();
  node->setKnob("gain", "3");
  node->pressButton("reset");
  EXPECT_EQ(lastChanged(*node), "reset");
  EXPECT_EQ(node->knobText("gain"), "1");
  node->openPanel();
  EXPECT_EQ(lastChanged(*node), "panel");
}

TEST(HostNodeKnobs, BatchSetReactsInDeclarationOrderAfterStoringAll)
{
  auto node = test_support::makeTestScale();
  // contexts' reaction reads contexts; last_changed shows the last reaction: gain comes after
  // contexts in the panel, whatever the order given.
  node->setKnobs({{"gain", "2"}, {"contexts", "3"}});
  EXPECT_EQ(lastChanged(*node), "gain");
  EXPECT_FALSE(node->knob("secret").isEnabled());
}

TEST(HostNodeKnobs, RebuildingKeepsKnobsValuesAndState)
{
  auto node = test_support::makeTestScale();
  Knob* gain = &node->knob("gain");
  node->setKnob("gain", "5");
  node->setKnob("contexts", "2"); // disables secret
  node->knob("last_changed").text("kept");
  node->rebuildKnobs();
  EXPECT_EQ(&node->knob("gain"), gain);
  EXPECT_EQ(node->knobText("gain"), "5");
  EXPECT_FALSE(node->knob("secret").isEnabled());
  EXPECT_EQ(lastChanged(*node), "kept");
  EXPECT_EQ(node->knobs().size(), 16u);
}

// What a script or a file name may hold comes back intact from the JSON the host writes, and
// bytes that are not UTF-8 cannot make that JSON unreadable.
TEST(JsonText, StringsReadBackAsWritten)
{
  const std::pair<std::string, std::string> cases[] = {
    {"plain", "plain"},
    {"quote \" and backslash \\", "quote \" and backslash \\"},
    {"line\nbreak\ttab\r", "line\nbreak\ttab\r"},
    {std::string("nul \0 and \x1f", 11), std::string("nul \0 and \x1f", 11)},
    {"caf\xc3\xa9", "caf\xc3\xa9"},
    {"bad \xff byte", "bad \xef\xbf\xbd byte"},
  };
  for (const auto& [written, read] : cases)
    EXPECT_EQ(nlohmann::json::parse(host_runtime::jsonString(written)).get<std::string>(), read) << written;
}
