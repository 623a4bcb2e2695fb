// A node of the host's graph: the op a plug-in class builds for it, with its knobs.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "DDImage/Iop.h"
#include "DDImage/Op.h"
#include "DDImageHost/KnobAccess.h"
#include "DDImageHost/Node.h"

namespace host_runtime {

class HostNode {
public:
  // Builds the op of a registered class (HostError UnknownClass; NullOp when the build function
  // gives null or throws; BadValue when it is not an image op) and builds its knobs. The node is named
  // after the class with a number ("Blur1") unless a name is given.
  static std::unique_ptr<HostNode> create(const std::string& className, const std::string& nodeName = {});
  ~HostNode(); // destroys the op

  HostNode(const HostNode&) = delete;
  HostNode& operator=(const HostNode&) = delete;

  DD::Image::Iop& op() const { return *op_; }
  const std::string& className() const { return className_; }
  const std::string& name() const { return node_->name(); }
  void rename(const std::string& name) { node_->rename(name); }

  // Runs the op's knobs() again, as hosts do when they rebuild a panel; knobs and values stay.
  void rebuildKnobs();
  // The knobs in declaration order, as they stand now.
  std::vector<DD::Image::host::KnobInfo> knobs() const;
  // HostError UnknownKnob when there is none of that name.
  DD::Image::Knob& knob(const std::string& name) const;

  // Sets a value knob from script text (see KnobValueText) and calls knob_changed when the value
  // changed. Returns whether it changed. HostError UnknownKnob / BadValue.
  bool setKnob(const std::string& name, const std::string& text);
  bool setKnobValue(const std::string& name, double value);
  // Sets several knobs at once, as loading a script does: every value is checked first (nothing
  // is stored when one is bad), then all are stored, then knob_changed runs for each knob that
  // changed, in declaration order, so that reactions see the complete new state.
  void setKnobs(const std::vector<std::pair<std::string, std::string>>& values);
  // A button press: knob_changed with the button. HostError BadValue when it is no button.
  void pressButton(const std::string& name);
  // The panel opens: knob_changed with Knob::showPanel.
  void openPanel();

  // The value of a value knob as a script writes it.
  std::string knobText(const std::string& name) const;

private:
  HostNode(std::string className, std::unique_ptr<DD::Image::Node> node, DD::Image::Iop* op);
  DD::Image::Knob& valueKnob(const std::string& name) const;
  void knobChanged(DD::Image::Knob& knob);
  void traceSet(const DD::Image::Knob& knob, bool changed) const;

  std::string className_;
  std::unique_ptr<DD::Image::Node> node_;
  DD::Image::Iop* op_;
};

} // namespace host_runtime
