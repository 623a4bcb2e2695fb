#include "runtime/HostNode.h"

#include <algorithm>
#include <exception>
#include <map>
#include <mutex>

#include "DDImageHost/Events.h"
#include "runtime/HostError.h"
#include "runtime/KnobValueText.h"

namespace host_runtime {
namespace {

namespace ddh = DD::Image::host;

// "Blur1", "Blur2", ... per class, as a host names new nodes.
std::string nextNodeName(const std::string& className)
{
  static std::mutex mutex;
  static std::map<std::string, int> counters;
  std::lock_guard<std::mutex> lock(mutex);
  return className + std::to_string(++counters[className]);
}

void emitKnobsBuilt(const DD::Image::Op& op)
{
  if (ddh::hasEventListeners())
    ddh::emit(ddh::Event("knobs_built", &op).with("count", int(ddh::knobsOf(op).size())));
}

} // namespace

std::unique_ptr<HostNode> HostNode::create(const std::string& className, const std::string& nodeName)
{
  const DD::Image::Op::Description* description = DD::Image::Op::Description::find(className.c_str());
  if (!description)
    throw HostError(HostError::Kind::UnknownClass, "no loaded plug-in registers the class " + className);
  auto node = std::make_unique<DD::Image::Node>(nodeName.empty() ? nextNodeName(className) : nodeName);
  DD::Image::Op* op = nullptr;
  try {
    op = description->build(node.get());
  } catch (const std::exception& e) {
    throw HostError(HostError::Kind::NullOp, "the build function of " + className + " failed: " + e.what());
  }
  if (!op)
    throw HostError(HostError::Kind::NullOp, "the build function of " + className + " gave no op");
  DD::Image::Iop* iop = dynamic_cast<DD::Image::Iop*>(op);
  if (!iop) {
    delete op;
    throw HostError(HostError::Kind::BadValue, className + " is not an image op");
  }
  std::unique_ptr<HostNode> result(new HostNode(className, std::move(node), iop));
  if (ddh::hasEventListeners())
    ddh::emit(ddh::Event("node_created", iop));
  ddh::buildKnobs(*iop);
  emitKnobsBuilt(*iop);
  return result;
}

HostNode::HostNode(std::string className, std::unique_ptr<DD::Image::Node> node, DD::Image::Iop* op)
    : className_(std::move(className)), node_(std::move(node)), op_(op)
{}

HostNode::~HostNode()
{
  if (ddh::hasEventListeners())
    ddh::emit(ddh::Event("destroy", op_).with("name", name()));
  delete op_;
}

void HostNode::rebuildKnobs()
{
  ddh::buildKnobs(*op_);
  emitKnobsBuilt(*op_);
}

std::vector<ddh::KnobInfo> HostNode::knobs() const
{
  std::vector<ddh::KnobInfo> result;
  for (DD::Image::Knob* k : ddh::knobsOf(*op_))
    result.push_back(ddh::describe(*k));
  return result;
}

DD::Image::Knob& HostNode::knob(const std::string& name) const
{
  DD::Image::Knob* k = op_->knob(name.c_str());
  if (!k)
    throw HostError(HostError::Kind::UnknownKnob,
                    "unknown knob " + name + " on " + this->name() + " (" + className_ + ")");
  return *k;
}

DD::Image::Knob& HostNode::valueKnob(const std::string& name) const
{
  DD::Image::Knob& k = knob(name);
  if (!ddh::holdsValue(ddh::kindOf(k)))
    throw HostError(HostError::Kind::BadValue,
                    "knob " + name + " is a " + ddh::kindName(ddh::kindOf(k)) +
                      (ddh::kindOf(k) == ddh::KnobKind::Button ? " (press it instead)" : "") + " and holds no value");
  return k;
}

bool HostNode::setKnob(const std::string& name, const std::string& text)
{
  DD::Image::Knob& k = valueKnob(name);
  return setKnobValue(name, parseKnobValue(k, text));
}

bool HostNode::setKnobValue(const std::string& name, double value)
{
  DD::Image::Knob& k = valueKnob(name);
  const bool changed = k.set_value(value);
  traceSet(k, changed);
  if (changed)
    knobChanged(k);
  return changed;
}

void HostNode::setKnobs(const std::vector<std::pair<std::string, std::string>>& values)
{
  std::vector<std::pair<DD::Image::Knob*, double>> parsed;
  for (const auto& entry : values) {
    DD::Image::Knob& k = valueKnob(entry.first);
    parsed.emplace_back(&k, parseKnobValue(k, entry.second));
  }
  std::vector<DD::Image::Knob*> changed;
  for (const auto& entry : parsed) {
    const bool c = entry.first->set_value(entry.second);
    traceSet(*entry.first, c);
    if (c)
      changed.push_back(entry.first);
  }
  for (DD::Image::Knob* k : ddh::knobsOf(*op_))
    if (std::find(changed.begin(), changed.end(), k) != changed.end())
      knobChanged(*k);
}

void HostNode::pressButton(const std::string& name)
{
  DD::Image::Knob& k = knob(name);
  if (ddh::kindOf(k) != ddh::KnobKind::Button)
    throw HostError(HostError::Kind::BadValue, "knob " + name + " is no button");
  knobChanged(k);
}

void HostNode::openPanel()
{
  if (ddh::hasEventListeners())
    ddh::emit(ddh::Event("panel_open", op_));
  knobChanged(DD::Image::Knob::showPanel);
}

std::string HostNode::knobText(const std::string& name) const
{
  return formatKnobValue(valueKnob(name));
}

void HostNode::knobChanged(DD::Image::Knob& knob)
{
  // Traced before the call, so that what the op does in reaction follows it in the trace.
  if (ddh::hasEventListeners())
    ddh::emit(ddh::Event("knob_changed", op_).with("knob", knob.name()));
  op_->knob_changed(&knob);
}

void HostNode::traceSet(const DD::Image::Knob& knob, bool changed) const
{
  if (ddh::hasEventListeners())
    ddh::emit(ddh::Event("knob_set", op_)
                .with("knob", knob.name())
                .with("value", formatKnobValue(knob))
                .with("changed", changed));
}

} // namespace host_runtime
