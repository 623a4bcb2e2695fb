#include <gtest/gtest.h>

#include <sstream>

#include "runtime/PluginTraceFields.h"
#include "runtime/RenderSession.h"
#include "runtime/TraceWriter.h"
#include "support/MiniJson.h"
#include "support/TestImages.h"
#include "support/TestPlugin.h"

using host_runtime::FrameStatus;
using test_json::Value;

namespace {

std::vector<Value> traceLines(const std::string& text)
{
  std::vector<Value> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(test_json::parse(line));
  return lines;
}

// The lines of one event type, of ops of one class.
std::vector<Value> linesOf(const std::vector<Value>& lines, const std::string& event, const std::string& cls)
{
  std::vector<Value> out;
  for (const Value& v : lines)
    if (v["event"].string == event && v.has("class") && v["class"].string == cls) out.push_back(v);
  return out;
}

} // namespace

TEST(Trace, RecordsTheExchangesOfARenderInOrder)
{
  std::ostringstream text;
  {
    host_runtime::TraceWriter trace(text);
    auto node = test_support::makeTestScale();
    trace.setExtraFields(host_runtime::pluginTraceFields(test_support::testPlugin(), node->op()));
    node->setKnob("contexts", "2");
    auto source = test_support::numberedFrames(test_support::offsetFormat(), DD::Image::Box(0, 2, 4, 6),
                                               {DD::Image::Chan_Red, DD::Image::Chan_Green, DD::Image::Chan_Blue}, 1, 3);
    host_runtime::RenderSession session(*node, source);
    ASSERT_EQ(session.renderFrames(3, 3).front().status, FrameStatus::Ok);
  }
  const std::vector<Value> lines = traceLines(text.str());
  std::vector<std::string> nodeEvents;
  for (const Value& v : lines) {
    EXPECT_EQ(v["seq"].number, double(&v - &lines[0] + 1));
    if (v.has("class") && v["class"].string == "TestScale" && v["event"].string != "progress" &&
        v["event"].string != "input_context")
      nodeEvents.push_back(v["event"].string);
  }
  EXPECT_EQ(nodeEvents, (std::vector<std::string>{"node_created", "knobs_built", "knob_set", "knob_changed",
                                                  "output_context", "split_input", "validate", "input_request",
                                                  "input_request", "open", "render_start", "render_end", "close",
                                                  "destroy"}));

  const Value split = linesOf(lines, "split_input", "TestScale").at(0);
  EXPECT_EQ(split["count"].number, 2);
  const std::vector<Value> contexts = linesOf(lines, "input_context", "TestScale");
  ASSERT_EQ(contexts.size(), 2u);
  EXPECT_EQ(contexts[1]["offset"].number, 1);
  EXPECT_EQ(contexts[1]["frame"].number, 3);
  EXPECT_EQ(contexts[1]["context_frame"].number, 2);

  const Value validated = linesOf(lines, "validate", "TestScale").at(0);
  EXPECT_EQ(validated["frame"].number, 3);
  EXPECT_EQ(validated["format"]["width"].number, 40);
  EXPECT_EQ(validated["format"]["pixel_aspect"].number, 2);
  EXPECT_EQ(validated["box"]["t"].number, 12);
  EXPECT_EQ(validated["channels"].array.size(), 3u);
  EXPECT_EQ(validated["channels"][0].string, "rgba.red");
  EXPECT_EQ(validated["extra"]["factor"].number, 2);  // from the plug-in's own hook

  // Both contexts of the input were validated by the node, at their own frames.
  const std::vector<Value> reads = linesOf(lines, "validate", "Read");
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0]["frame"].number, 3);
  EXPECT_EQ(reads[1]["frame"].number, 2);

  const Value request = linesOf(lines, "input_request", "TestScale").at(1);
  EXPECT_EQ(request["input"].number, 1);
  EXPECT_EQ(request["input_frame"].number, 2);
  EXPECT_EQ(request["box"]["r"].number, 4);
  EXPECT_EQ(request["count"].number, 1);

  const Value fetch = linesOf(lines, "fetch_plane", "Read").at(0);
  EXPECT_FALSE(fetch["packed"].boolean);
  EXPECT_EQ(linesOf(lines, "progress", "TestScale").back()["fraction"].number, 1.0);
  EXPECT_EQ(linesOf(lines, "render_end", "TestScale").at(0)["status"].string, "ok");
}

TEST(Trace, RecordsErrorsAndAborts)
{
  std::ostringstream text;
  {
    host_runtime::TraceWriter trace(text);
    auto node = test_support::makeTestScale();
    node->setKnob("fail", "on");
    host_runtime::RenderSession session(*node, test_support::numberedFrames(test_support::offsetFormat(),
                                                                            DD::Image::Box(0, 2, 4, 6),
                                                                            {DD::Image::Chan_Red}, 1, 1));
    session.renderFrame(1);
    node->setKnob("fail", "off");
    session.setProgressCallback([&](double, double) { session.requestAbort(); });
    session.renderFrame(1);
  }
  const std::vector<Value> lines = traceLines(text.str());
  const std::vector<Value> errors = linesOf(lines, "error", "TestScale");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0]["text"].string, "TestScale: failure requested (2)");
  const std::vector<Value> ends = linesOf(lines, "render_end", "TestScale");
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_EQ(ends[0]["status"].string, "failed");
  EXPECT_NE(ends[0]["error"].string.find("failure requested"), std::string::npos);
  EXPECT_EQ(ends[1]["status"].string, "aborted");
  EXPECT_EQ(linesOf(lines, "abort_requested", "TestScale").size(), 1u);
}
