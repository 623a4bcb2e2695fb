#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

#include "runtime/PluginTraceFields.h"
#include "runtime/RenderSession.h"
#include "runtime/TraceWriter.h"
#include "support/TestImages.h"
#include "support/TestPlugin.h"

using host_runtime::FrameStatus;
using Value = nlohmann::json;

namespace {

std::vector<Value> traceLines(const std::string& text)
{
  std::vector<Value> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    lines.push_back(nlohmann::json::parse(line));
  return lines;
}

// The lines of one event type, of ops of one class.
std::vector<Value> linesOf(const std::vector<Value>& lines, const std::string& event, const std::string& cls)
{
  std::vector<Value> out;
  for (const Value& v : lines)
    if (v.at("event").get<std::string>() == event && v.contains("class") && v.at("class").get<std::string>() == cls)
      out.push_back(v);
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
    auto source =
      test_support::numberedFrames(test_support::offsetFormat(), DD::Image::Box(0, 2, 4, 6),
                                   {DD::Image::Chan_Red, DD::Image::Chan_Green, DD::Image::Chan_Blue}, 1, 3);
    host_runtime::RenderSession session(*node, source);
    ASSERT_EQ(session.renderFrames(3, 3).front().status, FrameStatus::Ok);
  }
  const std::vector<Value> lines = traceLines(text.str());
  std::vector<std::string> nodeEvents;
  for (const Value& v : lines) {
    EXPECT_EQ(v.at("seq").get<double>(), double(&v - &lines[0] + 1));
    if (v.contains("class") && v.at("class").get<std::string>() == "TestScale" &&
        v.at("event").get<std::string>() != "progress" && v.at("event").get<std::string>() != "input_context")
      nodeEvents.push_back(v.at("event").get<std::string>());
  }
  EXPECT_EQ(nodeEvents,
            (std::vector<std::string>{"node_created", "knobs_built", "knob_set", "knob_changed", "output_context",
                                      "split_input", "validate", "input_request", "input_request", "open",
                                      "render_start", "render_end", "close", "destroy"}));

  const Value split = linesOf(lines, "split_input", "TestScale").at(0);
  EXPECT_EQ(split.at("count").get<double>(), 2);
  const std::vector<Value> contexts = linesOf(lines, "input_context", "TestScale");
  ASSERT_EQ(contexts.size(), 2u);
  EXPECT_EQ(contexts[1].at("offset").get<double>(), 1);
  EXPECT_EQ(contexts[1].at("frame").get<double>(), 3);
  EXPECT_EQ(contexts[1].at("context_frame").get<double>(), 2);

  const Value validated = linesOf(lines, "validate", "TestScale").at(0);
  EXPECT_EQ(validated.at("frame").get<double>(), 3);
  EXPECT_EQ(validated.at("format").at("width").get<double>(), 40);
  EXPECT_EQ(validated.at("format").at("pixel_aspect").get<double>(), 2);
  EXPECT_EQ(validated.at("box").at("t").get<double>(), 12);
  EXPECT_EQ(validated.at("channels").size(), 3u);
  EXPECT_EQ(validated.at("channels")[0].get<std::string>(), "rgba.red");
  EXPECT_EQ(validated.at("extra").at("factor").get<double>(), 2); // from the plug-in's own hook

  // Both contexts of the input were validated by the node, at their own frames.
  const std::vector<Value> reads = linesOf(lines, "validate", "Read");
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].at("frame").get<double>(), 3);
  EXPECT_EQ(reads[1].at("frame").get<double>(), 2);

  const Value request = linesOf(lines, "input_request", "TestScale").at(1);
  EXPECT_EQ(request.at("input").get<double>(), 1);
  EXPECT_EQ(request.at("input_frame").get<double>(), 2);
  EXPECT_EQ(request.at("box").at("r").get<double>(), 4);
  EXPECT_EQ(request.at("count").get<double>(), 1);

  const Value fetch = linesOf(lines, "fetch_plane", "Read").at(0);
  EXPECT_FALSE(fetch.at("packed").get<bool>());
  EXPECT_EQ(linesOf(lines, "progress", "TestScale").back().at("fraction").get<double>(), 1.0);
  EXPECT_EQ(linesOf(lines, "render_end", "TestScale").at(0).at("status").get<std::string>(), "ok");
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
  EXPECT_EQ(errors[0].at("text").get<std::string>(), "TestScale: failure requested (2)");
  const std::vector<Value> ends = linesOf(lines, "render_end", "TestScale");
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_EQ(ends[0].at("status").get<std::string>(), "failed");
  EXPECT_NE(ends[0].at("error").get<std::string>().find("failure requested"), std::string::npos);
  EXPECT_EQ(ends[1].at("status").get<std::string>(), "aborted");
  EXPECT_EQ(linesOf(lines, "abort_requested", "TestScale").size(), 1u);
}
