#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DDImage/Op.h"
#include "DDImageHost/Events.h"
#include "DDImageHost/OpControl.h"
#include "DDImageHost/Process.h"
#include "TestOps.h"

using namespace DD::Image;
using sdk_test::PassOp;
using sdk_test::PatternOp;

namespace {

Op* buildPass(Node* node)
{
  return new PassOp(node);
}

// Records the events of the SDK while it lives.
class EventLog {
public:
  EventLog() : id_(host::addEventListener([this](const host::Event& e) { events.push_back(e); })) {}
  ~EventLog() { host::removeEventListener(id_); }
  std::vector<std::string> types() const
  {
    std::vector<std::string> t;
    for (const auto& e : events)
      t.push_back(e.type);
    return t;
  }
  std::vector<host::Event> events;

private:
  int id_;
};

} // namespace

TEST(Description, RegistersWhileItLivesAndBuildsThroughTheHostAllocator)
{
  {
    const Op::Description description("PassTest", "Test/Pass", buildPass);
    ASSERT_EQ(Op::Description::find("PassTest"), &description);
    Node node("Pass1");
    Op* op = description.build(&node);
    ASSERT_NE(op, nullptr);
    EXPECT_EQ(op->node_name(), "Pass1");
    EXPECT_EQ(op->node(), &node);
    delete op;

    host::failNextAllocations(1);
    EXPECT_EQ(description.build(&node), nullptr);
    op = description.build(&node);
    EXPECT_NE(op, nullptr);
    delete op;
    EXPECT_EQ(host::registeredClasses(), std::vector<std::string>{"PassTest"});
  }
  EXPECT_EQ(Op::Description::find("PassTest"), nullptr); // unloading the plug-in unregisters
  EXPECT_EQ(Op::Description::find(nullptr), nullptr);
}

TEST(OpLifecycle, IopDefaultsPassInputZeroThrough)
{
  Node node("Pattern1");
  PatternOp source(&node, Box(-3, 2, 7, 9), Mask_RGBA);
  PassOp pass(&node);
  PassOp unconnected(&node);
  host::connectInputs(pass, {{&source}});
  pass.validate(true);
  EXPECT_EQ(source.validations, 1); // validated by its consumer
  EXPECT_EQ(pass.info().box(), Box(-3, 2, 7, 9));
  EXPECT_EQ(pass.channels(), ChannelSet(Mask_RGBA));
  EXPECT_EQ(&pass.format(), &source.format()); // the same format objects, not copies
  EXPECT_EQ(&pass.info().full_size_format(), &source.info().full_size_format());
  EXPECT_EQ(pass.info().first_frame(), 3);
  EXPECT_EQ(pass.info().last_frame(), 9);
  unconnected.validate(true);
  EXPECT_EQ(unconnected.info().box(), Box(0, 0, 0, 0));
  EXPECT_EQ(unconnected.format(), Box(0, 0, 1, 1));

  RequestOutput out;
  pass.getRequests(Box(0, 0, 4, 4), Mask_RGB, 2, out);
  ASSERT_EQ(out.requests().size(), 1u);
  EXPECT_EQ(out.requests()[0].op, &source);
  EXPECT_EQ(out.requests()[0].count, 2);
}

TEST(OpLifecycle, InputsCountSplitContextsOneAfterAnother)
{
  Node node("Pattern1");
  PatternOp a0(&node, Box(), Mask_RGB), a1(&node, Box(), Mask_RGB), a2(&node, Box(), Mask_RGB),
    b0(&node, Box(), Mask_RGB);
  PassOp op(&node);
  host::connectInputs(op, {{&a0, &a1, &a2}, {&b0}});
  EXPECT_EQ(op.inputs(), 4);
  EXPECT_EQ(op.Op::input(2), &a2);
  EXPECT_EQ(op.Op::input(3), &b0);
  EXPECT_EQ(op.input(0, 1), &a1);
  EXPECT_EQ(op.input(1, 0), &b0);
  EXPECT_EQ(op.input(1, 1), nullptr);
  EXPECT_EQ(op.input(4), nullptr);
  EXPECT_EQ(op.input(-1), nullptr);
  EXPECT_EQ(op.split_input(0), 1);

  OutputContext context;
  context.setFrame(12.5);
  host::setOutputContext(op, context);
  OutputContext asked;
  EXPECT_EQ(op.inputContext(0, 2, asked).frame(), 12.5);
  EXPECT_EQ(op.inputUIContext(0, asked), nullptr);
}

TEST(OpLifecycle, OpensOncePerValidationAndClosesOnce)
{
  Node node("Pattern1");
  PatternOp op(&node, Box(0, 0, 2, 2), Mask_RGB);
  op.open(); // validates first when needed
  op.open();
  EXPECT_EQ(op.validations, 1);
  EXPECT_EQ(op.opens, 1);
  EXPECT_TRUE(host::isOpen(op));
  op.validate(true); // hosts revalidate for every frame and open again
  op.validate(true);
  EXPECT_EQ(op.validations, 3);
  op.open();
  EXPECT_EQ(op.opens, 2);
  op.close();
  op.close();
  EXPECT_EQ(op.closes, 1);
  EXPECT_FALSE(host::isOpen(op));
}

TEST(OpLifecycle, AnErrorAbortsTheRenderInProgressUntilTheNextOne)
{
  Node node("Pattern1");
  PatternOp op(&node, Box(), Mask_RGB);
  EventLog log;
  EXPECT_FALSE(op.aborted());
  op.error("failed at %d of %s", 3, "five");
  EXPECT_TRUE(op.aborted());
  EXPECT_TRUE(host::hasError(op));
  EXPECT_EQ(host::errorText(op), "failed at 3 of five");
  op.error("again");
  EXPECT_EQ(host::errorText(op), "again");
  ASSERT_EQ(log.types(), (std::vector<std::string>{"error", "error"}));
  EXPECT_EQ(std::get<std::string>(*log.events[0].find("text")), "failed at 3 of five");
  EXPECT_EQ(log.events[0].op, &op);

  host::beginRender(op);
  EXPECT_FALSE(op.aborted());
  EXPECT_EQ(host::errorText(op), "");
  host::requestAbort(op);
  EXPECT_TRUE(op.aborted());
  EXPECT_FALSE(host::hasError(op));
  host::beginRender(op);
  host::requestAbortAll();
  PatternOp other(&node, Box(), Mask_RGB);
  EXPECT_TRUE(op.aborted());
  EXPECT_TRUE(other.aborted());
  host::clearAbortAll();
  EXPECT_FALSE(other.aborted());
}

TEST(OpLifecycle, ProgressAndValidationAreEvents)
{
  Node node("Pattern1");
  PatternOp op(&node, Box(1, 2, 3, 4), Mask_RGB);
  EventLog log;
  op.progressFraction(1, 4);
  op.progressFraction(3, 0);
  op.validate(false);
  ASSERT_EQ(log.types(), (std::vector<std::string>{"progress", "progress", "validate"}));
  EXPECT_EQ(std::get<double>(*log.events[0].find("fraction")), 0.25);
  EXPECT_EQ(std::get<double>(*log.events[1].find("fraction")), 0.0);
  const host::Event& v = log.events[2];
  EXPECT_EQ(std::get<bool>(*v.find("for_real")), false);
  EXPECT_EQ(std::get<Box>(*v.find("box")), Box(1, 2, 3, 4));
  EXPECT_EQ(std::get<Format>(*v.find("format")).width(), 3);
  EXPECT_EQ(std::get<ChannelSet>(*v.find("channels")), ChannelSet(Mask_RGB));
  EXPECT_EQ(std::get<long long>(*v.find("first_frame")), 3);
  EXPECT_EQ(v.find("nothing"), nullptr);
}

TEST(OpLifecycle, RequestsGatherUntilTheNextValidation)
{
  Node node("Pattern1");
  PatternOp op(&node, Box(), Mask_RGBA);
  op.validate(true);
  op.request(Box(0, 0, 4, 4), Mask_RGB, 1);
  op.request(-2, 1, 3, 8, ChannelSet(Chan_Alpha), 2);
  EXPECT_EQ(op.requestedBox(), Box(-2, 0, 4, 8));
  EXPECT_EQ(op.requestedChannels(), ChannelSet(Mask_RGBA));
  op.validate(true);
  EXPECT_EQ(op.requestedChannels(), ChannelSet());
}
