#include <gtest/gtest.h>

#include <cmath>

#include "DDImage/Iop.h"
#include "DDImage/Knobs.h"
#include "DDImageHost/KnobAccess.h"
#include "DDImageHost/Node.h"

using namespace DD::Image;
using host::KnobKind;

namespace {

const char* const kModes[] = {"still", "sequence", nullptr};

class KnobOp : public Iop {
public:
  explicit KnobOp(Node* node) : Iop(node) {}
  const char* Class() const override { return "KnobOp"; }
  const char* node_help() const override { return ""; }

  void knobs(Knob_Callback f) override
  {
    ++passes;
    makeKnobsSeen = f.makeKnobs();
    Tooltip(f, "before any knob: ignored");
    Text_knob(f, "Label: ", "text one");
    Named_Text_knob(f, "status", "", "idle");
    SetFlags(f, Knob::DO_NOT_WRITE);
    Divider(f);
    BeginClosedGroup(f, "group");
    Int_knob(f, useOtherCount ? &otherCount : &count, "count", "count");
    Tooltip(f, "How many.");
    SetFlags(f, Knob::HIDDEN | Knob::STARTLINE);
    ClearFlags(f, Knob::STARTLINE);
    Enumeration_knob(f, &mode, kModes, "mode");
    SetFlags(f, Knob::EARLY_STORE);
    foundDuringPass = knob("count") != nullptr;
    Bool_knob(f, &flag, "flag", "flag");
    Float_knob(f, &amount, "amount");
    EndGroup(f);
    if (withOptional)
      Int_knob(f, &optional, "optional");
    Button(f, "reset", "Reset");
    Tab_knob(f, "About");
    BeginGroup(f, "open");
    EndGroup(f);
  }

  int count = 3, otherCount = 11, mode = 1, optional = 0;
  bool flag = false;
  float amount = 0.5f;
  int passes = 0;
  bool makeKnobsSeen = false, foundDuringPass = false, withOptional = false, useOtherCount = false;
};

class KnobsTest : public ::testing::Test {
protected:
  Node node{"Knobs1"};
  KnobOp op{&node};
};

} // namespace

TEST_F(KnobsTest, DeclarationsBecomeKnobsOfTheirKindInOrder)
{
  host::buildKnobs(op);
  const std::vector<Knob*> knobs = host::knobsOf(op);
  std::vector<KnobKind> kinds;
  for (Knob* k : knobs)
    kinds.push_back(host::kindOf(*k));
  EXPECT_EQ(kinds, (std::vector<KnobKind>{KnobKind::Text, KnobKind::Text, KnobKind::Divider, KnobKind::GroupBegin,
                                          KnobKind::Int, KnobKind::Enumeration, KnobKind::Bool, KnobKind::Float,
                                          KnobKind::GroupEnd, KnobKind::Button, KnobKind::Tab, KnobKind::GroupBegin,
                                          KnobKind::GroupEnd}));
  EXPECT_TRUE(op.makeKnobsSeen);
  EXPECT_TRUE(op.foundDuringPass);

  const host::KnobInfo label = host::describe(*knobs[0]);
  EXPECT_FALSE(label.name);
  EXPECT_EQ(label.label, std::string("Label: "));
  EXPECT_EQ(label.text, std::string("text one"));
  EXPECT_EQ(label.tooltip, ""); // the tooltip before any knob went nowhere
  EXPECT_EQ(host::describe(*knobs[1]).flags, Knob::DO_NOT_WRITE);
  EXPECT_FALSE(host::describe(*knobs[2]).text);
  EXPECT_EQ(host::describe(*knobs[3]).groupMarker, GROUP_CLOSED);
  EXPECT_EQ(host::describe(*knobs[11]).groupMarker, GROUP_OPEN);
  EXPECT_EQ(host::describe(*knobs[10]).label, std::string("About"));

  Knob* count = op.knob("count");
  EXPECT_STREQ(count->tooltip(), "How many.");
  EXPECT_EQ(count->flags(), Knob::HIDDEN);
  EXPECT_TRUE(count->flag(Knob::HIDDEN));
  EXPECT_FALSE(count->flag(Knob::HIDDEN | Knob::STARTLINE));
  EXPECT_EQ(op.knob("mode")->enumerationItems(), (std::vector<std::string>{"still", "sequence"}));
  EXPECT_EQ(op.knob("mode")->flags(), Knob::EARLY_STORE);
  EXPECT_STREQ(op.knob("amount")->label(), "amount"); // no label: the panel shows the name
  EXPECT_EQ(op.knob("nothing"), nullptr);
  EXPECT_FALSE(knobs[0]->is("")); // unnamed knobs are found by no name
}

TEST_F(KnobsTest, ValuesLiveInTheOpMembers)
{
  host::buildKnobs(op);
  EXPECT_EQ(op.knob("count")->get_value(), 3.0);
  EXPECT_TRUE(op.knob("count")->set_value(4.9999999));
  EXPECT_EQ(op.count, 5); // rounded, not truncated
  EXPECT_TRUE(op.knob("count")->set_value(-7));
  EXPECT_EQ(op.count, -7);
  EXPECT_FALSE(op.knob("count")->set_value(-7));
  EXPECT_TRUE(op.knob("flag")->set_value(0.5));
  EXPECT_TRUE(op.flag);
  EXPECT_TRUE(op.knob("amount")->set_value(0.25));
  EXPECT_EQ(op.amount, 0.25f);
  EXPECT_TRUE(op.knob("amount")->set_value(NAN));
  EXPECT_FALSE(op.knob("amount")->set_value(NAN));
  op.mode = 0;
  EXPECT_EQ(op.knob("mode")->get_value(), 0.0);
  EXPECT_FALSE(op.knob("reset")->set_value(1));
  EXPECT_EQ(op.knob("reset")->get_value(), 0.0);

  Knob* status = op.knob("status");
  status->text("busy");
  EXPECT_STREQ(status->textKnob()->text(), "busy");
}

TEST_F(KnobsTest, RebuildingKeepsTheKnobsAndTheirStateAndRebindsPointers)
{
  host::buildKnobs(op);
  Knob* count = op.knob("count");
  Knob* flag = op.knob("flag");
  flag->disable();
  op.knob("status")->text("rewritten");
  op.withOptional = true; // a knob that appears in the middle
  host::buildKnobs(op);
  EXPECT_FALSE(op.makeKnobsSeen);
  EXPECT_EQ(op.knob("count"), count);
  EXPECT_EQ(op.knob("flag"), flag);
  EXPECT_FALSE(flag->isEnabled());
  EXPECT_STREQ(op.knob("status")->text(), "rewritten");
  EXPECT_STREQ(count->tooltip(), "How many.");
  EXPECT_EQ(count->flags(), Knob::HIDDEN);
  ASSERT_NE(op.knob("optional"), nullptr);
  EXPECT_EQ(host::knobsOf(op).size(), 14u);

  op.useOtherCount = true;
  op.withOptional = false;
  host::buildKnobs(op);
  EXPECT_EQ(op.knob("optional"), nullptr);
  EXPECT_EQ(op.knob("count"), count);
  EXPECT_EQ(count->get_value(), 11.0); // bound to the member declared this time
  EXPECT_EQ(op.passes, 3);
}
