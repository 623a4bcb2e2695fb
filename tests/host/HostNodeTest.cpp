#include <gtest/gtest.h>

#include <vector>

#include "DDImage/Knobs.h"
#include "runtime/HostError.h"
#include "runtime/PanelJson.h"
#include "support/HostErrors.h"
#include "support/MiniJson.h"
#include "support/TestPlugin.h"

using DD::Image::Knob;
using DD::Image::host::KnobKind;
using host_runtime::HostError;

namespace {

std::string lastChanged(const host_runtime::HostNode& node) { return node.knob("last_changed").text(); }


} // namespace

TEST(HostNodeKnobs, PanelListsEveryKnobAsDeclared)
{
  auto node = test_support::makeTestScale();
  const test_json::Value panel = test_json::parse(host_runtime::panelJson(*node));
  std::vector<std::string> kinds;
  for (const auto& k : panel.array) kinds.push_back(k["kind"].string);
  EXPECT_EQ(kinds, (std::vector<std::string>{"text", "text", "divider", "group_begin", "enum", "int", "float", "bool",
                                             "bool", "group_end", "button", "tab", "text", "int", "int", "bool"}));
  const auto& label = panel[0];
  EXPECT_TRUE(label["name"].isNull());
  EXPECT_EQ(label["label"].string, "Test: ");
  EXPECT_EQ(panel[1]["text"].string, "none");
  EXPECT_EQ(panel[1]["flags"].number, double(Knob::DO_NOT_WRITE));
  EXPECT_TRUE(panel[2]["label"].isNull());
  EXPECT_TRUE(panel[2]["text"].isNull());
  EXPECT_EQ(panel[3]["name"].string, "Options");
  EXPECT_TRUE(panel[3]["closed"].boolean);
  const auto& scale = panel[4];
  EXPECT_EQ(scale["value"].number, 0);
  EXPECT_EQ(scale["value_label"].string, "2x");
  EXPECT_EQ(scale["entries"].array.size(), 3u);
  EXPECT_EQ(scale["tooltip"].string, "Output size.");
  EXPECT_EQ(scale["flags"].number, double(Knob::EARLY_STORE));
  EXPECT_EQ(panel[6]["value"].number, 1.0);
  EXPECT_EQ(panel[6]["flags"].number, double(Knob::STARTLINE));
  // Set, then the same flag cleared again by the next pseudo-knob.
  EXPECT_EQ(panel[8]["flags"].number, double(Knob::HIDDEN));
  EXPECT_FALSE(panel[7]["value"].boolean);
  EXPECT_EQ(panel[11]["label"].string, "About");
  EXPECT_TRUE(panel[10]["value"].isNull());
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
  EXPECT_EQ(test_support::hostErrorKind([&] { node->setKnobs({{"gain", "2"}, {"scale", "bad"}}); }), HostError::Kind::BadValue);
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
  node->setKnob("contexts", "2");  // disables secret
  node->knob("last_changed").text("kept");
  node->rebuildKnobs();
  EXPECT_EQ(&node->knob("gain"), gain);
  EXPECT_EQ(node->knobText("gain"), "5");
  EXPECT_FALSE(node->knob("secret").isEnabled());
  EXPECT_EQ(lastChanged(*node), "kept");
  EXPECT_EQ(node->knobs().size(), 16u);
}
