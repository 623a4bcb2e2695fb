#include "runtime/TraceWriter.h"

#include <vector>

#include "DDImage/Op.h"
#include "runtime/AtomicFile.h"
#include "runtime/HostError.h"
#include "runtime/JsonText.h"

namespace host_runtime {
namespace {

namespace ddh = DD::Image::host;

std::string boxJson(const DD::Image::Box& b)
{
  return JsonObject().integer("x", b.x()).integer("y", b.y()).integer("r", b.r()).integer("t", b.t()).text();
}

std::string formatJson(const DD::Image::Format& f)
{
  return JsonObject()
    .integer("x", f.x())
    .integer("y", f.y())
    .integer("r", f.r())
    .integer("t", f.t())
    .integer("width", f.width())
    .integer("height", f.height())
    .num("pixel_aspect", f.pixel_aspect())
    .str("name", f.name())
    .text();
}

std::string channelsJson(const DD::Image::ChannelSet& s)
{
  std::vector<std::string> names;
  for (DD::Image::Channel c = s.first(); c != DD::Image::Chan_Black; c = s.next(c))
    names.push_back(DD::Image::getName(c));
  return jsonStringArray(names);
}

// A hook's text is only spliced in when it looks like one JSON object on one line; anything
// else is kept as a string, so a bad hook cannot break the line structure.
std::string extraJson(const std::string& text)
{
  const bool object =
    !text.empty() && text.front() == '{' && text.back() == '}' && text.find('\n') == std::string::npos;
  return object ? text : jsonString(text);
}

struct ValueJson {
  std::string operator()(std::monostate) const { return "null"; }
  std::string operator()(bool v) const { return v ? "true" : "false"; }
  std::string operator()(long long v) const { return std::to_string(v); }
  std::string operator()(double v) const { return jsonNumber(v); }
  std::string operator()(const std::string& v) const { return jsonString(v); }
  std::string operator()(const DD::Image::Box& v) const { return boxJson(v); }
  std::string operator()(const DD::Image::ChannelSet& v) const { return channelsJson(v); }
  std::string operator()(const DD::Image::Format& v) const { return formatJson(v); }
  std::string operator()(const ddh::RawJson& v) const { return extraJson(v.text); }
};

void addEvent(JsonObject& o, const ddh::Event& event)
{
  o.str("event", event.type);
  if (event.op) {
    o.str("op", event.op->node_name()).str("class", event.op->Class()).num("frame", event.op->outputContext().frame());
  }
  for (const auto& field : event.fields)
    o.raw(field.first, std::visit(ValueJson(), field.second));
}

} // namespace

std::string eventJson(const ddh::Event& event)
{
  JsonObject o;
  addEvent(o, event);
  return o.text();
}

TraceWriter::TraceWriter(std::ostream& out) : out_(out)
{
  listener_ = ddh::addEventListener([this](const ddh::Event& e) { write(e); });
}

TraceWriter::TraceWriter(const std::string& path) : out_(file_)
{
  try {
    pending_ = std::make_unique<AtomicFile>(path);
  } catch (const HostError&) {
    throw HostError(HostError::Kind::Output, "cannot write the trace file " + path);
  }
  file_.open(pending_->temporaryPath(), std::ios::binary | std::ios::trunc);
  if (!file_)
    throw HostError(HostError::Kind::Output, "cannot write the trace file " + path);
  listener_ = ddh::addEventListener([this](const ddh::Event& e) { write(e); });
}

TraceWriter::~TraceWriter()
{
  stopListening();
  if (!pending_)
    return;
  file_.close();
  try {
    if (file_)
      pending_->commit();
  } catch (const HostError&) { // a destructor reports nothing: the temporary goes away
  }
}

void TraceWriter::stopListening()
{
  if (listener_ == 0)
    return;
  ddh::removeEventListener(listener_);
  listener_ = 0;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  out_.flush();
}

void TraceWriter::finish()
{
  stopListening();
  if (!pending_)
    return;
  const std::string path = pending_->target();
  file_.close();
  std::unique_ptr<AtomicFile> pending = std::move(pending_);
  if (!file_)
    throw HostError(HostError::Kind::Output, "cannot write the trace file " + path);
  pending->commit();
}

void TraceWriter::setExtraFields(ExtraFields extra)
{
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  extra_ = std::move(extra);
}

void TraceWriter::write(const ddh::Event& event)
{
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  JsonObject o;
  o.integer("seq", ++seq_);
  addEvent(o, event);
  if (extra_ && event.op) {
    const std::string extra = extra_(*event.op, event.type);
    if (!extra.empty())
      o.raw("extra", extraJson(extra));
  }
  // Flushed line by line, so that a trace is complete up to a crash.
  out_ << o.text() << '\n' << std::flush;
}

} // namespace host_runtime
