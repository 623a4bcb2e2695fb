// The host's Knob_Closure: makes knobs on the first knobs() pass and finds them again on later
// passes; plus the host's read-back of a knob.
#include <cstdint>

#include "DDImage/Knobs.h"
#include "DDImage/Op.h"
#include "DDImageHost/KnobAccess.h"
#include "KnobImpl.h"
#include "OpImpl.h"

namespace DD {
namespace Image {
namespace host {
namespace {

bool sameDeclaration(const Knob& k, int type, int storeType, const char* name)
{
  const KnobImpl& d = *k.impl();
  if (d.type != type || d.storeType != storeType)
    return false;
  if (!name)
    return !d.name;
  return d.name && *d.name == name;
}

class HostKnobClosure : public Knob_Closure {
public:
  // Knobs are appended to `made` as they are declared, so Op::knob() finds them during the pass.
  HostKnobClosure(Op& op, std::vector<std::unique_ptr<Knob>> previous, std::vector<std::unique_ptr<Knob>>& made)
      : op_(op), previous_(std::move(previous)), firstPass_(previous_.empty()), made_(made)
  {}

  Knob* operator()(int knobType, int storeType, void* pointer, const char* name, const char* label,
                   const void* extra) override
  {
    switch (knobType) {
    case TOOLTIP:
      if (lastIsNew_)
        last_->tooltip(static_cast<const char*>(extra));
      return last_;
    case ADD_FLAGS:
      if (lastIsNew_ && pointer)
        last_->set_flag(*static_cast<const Knob::FlagMask*>(pointer));
      return last_;
    case CLEAR_FLAGS:
      if (lastIsNew_ && pointer)
        last_->clear_flag(*static_cast<const Knob::FlagMask*>(pointer));
      return last_;
    default: break;
    }
    std::unique_ptr<Knob> knob = takePrevious(knobType, storeType, name);
    lastIsNew_ = !knob;
    if (!knob)
      knob = make(knobType, storeType, name, label, extra);
    knob->impl()->pointer = pointer;
    last_ = knob.get();
    made_.push_back(std::move(knob));
    return last_;
  }

  bool makeKnobs() const override { return firstPass_; }

private:
  // The previous knob for this declaration: the next one in order, or for a named knob the one
  // of that name wherever it stood (a knob that appears only on some machines shifts the rest).
  std::unique_ptr<Knob> takePrevious(int type, int storeType, const char* name)
  {
    if (cursor_ < previous_.size() && previous_[cursor_] && sameDeclaration(*previous_[cursor_], type, storeType, name))
      return std::move(previous_[cursor_++]);
    if (!name)
      return nullptr;
    for (std::size_t i = 0; i < previous_.size(); ++i) {
      if (previous_[i] && sameDeclaration(*previous_[i], type, storeType, name)) {
        cursor_ = i + 1;
        return std::move(previous_[i]);
      }
    }
    return nullptr;
  }

  std::unique_ptr<Knob> make(int type, int storeType, const char* name, const char* label, const void* extra)
  {
    auto knob = std::make_unique<Knob>(type, storeType, name, label);
    KnobImpl& d = *knob->impl();
    d.op = &op_;
    if (type == ENUMERATION_KNOB && extra) {
      for (const char* const* e = static_cast<const char* const*>(extra); *e; ++e)
        d.entries.emplace_back(*e);
    } else if (type == TEXT_KNOB && extra) {
      d.text = std::string(static_cast<const char*>(extra));
    } else if (type == TAB_KNOB) {
      d.groupMarker = int(reinterpret_cast<std::intptr_t>(extra));
    }
    return knob;
  }

  Op& op_;
  std::vector<std::unique_ptr<Knob>> previous_;
  bool firstPass_;
  std::size_t cursor_ = 0;
  std::vector<std::unique_ptr<Knob>>& made_;
  Knob* last_ = nullptr;
  bool lastIsNew_ = false;
};

} // namespace

const char* kindName(KnobKind kind)
{
  switch (kind) {
  case KnobKind::Text: return "text";
  case KnobKind::Divider: return "divider";
  case KnobKind::Int: return "int";
  case KnobKind::Enumeration: return "enum";
  case KnobKind::Bool: return "bool";
  case KnobKind::Float: return "float";
  case KnobKind::Button: return "button";
  case KnobKind::GroupBegin: return "group_begin";
  case KnobKind::GroupEnd: return "group_end";
  case KnobKind::Tab: return "tab";
  case KnobKind::Other: break;
  }
  return "other";
}

bool holdsValue(KnobKind kind)
{
  return kind == KnobKind::Int || kind == KnobKind::Enumeration || kind == KnobKind::Bool || kind == KnobKind::Float;
}

KnobKind kindOf(const Knob& knob)
{
  const KnobImpl& d = *knob.impl();
  switch (d.type) {
  case INT_KNOB: return KnobKind::Int;
  case ENUMERATION_KNOB: return KnobKind::Enumeration;
  case BOOL_KNOB: return KnobKind::Bool;
  case FLOAT_KNOB: return KnobKind::Float;
  case PYSCRIPT_KNOB: return KnobKind::Button;
  case TEXT_KNOB: return !d.name && !d.label && !d.text ? KnobKind::Divider : KnobKind::Text;
  case TAB_KNOB:
    if (d.groupMarker == GROUP_OPEN || d.groupMarker == GROUP_CLOSED)
      return KnobKind::GroupBegin;
    if (d.groupMarker == GROUP_END)
      return KnobKind::GroupEnd;
    return KnobKind::Tab;
  default: return KnobKind::Other;
  }
}

KnobInfo describe(const Knob& knob)
{
  const KnobImpl& d = *knob.impl();
  KnobInfo info;
  info.knob = const_cast<Knob*>(&knob);
  info.kind = kindOf(knob);
  info.type = d.type;
  info.storeType = d.storeType;
  info.name = d.name;
  info.label = d.label;
  info.flags = d.flags;
  info.tooltip = d.tooltip;
  info.enabled = d.enabled;
  info.entries = d.entries;
  if (info.kind == KnobKind::Text)
    info.text = d.text.value_or("");
  info.groupMarker = d.groupMarker;
  if (holdsValue(info.kind))
    info.value = knob.get_value();
  return info;
}

void buildKnobs(Op& op)
{
  OpImpl& state = *op.impl();
  std::vector<std::unique_ptr<Knob>> previous = std::move(state.knobs);
  state.knobs.clear();
  HostKnobClosure closure(op, std::move(previous), state.knobs);
  op.knobs(closure);
}

std::vector<Knob*> knobsOf(const Op& op)
{
  std::vector<Knob*> knobs;
  for (const auto& k : op.impl()->knobs)
    knobs.push_back(k.get());
  return knobs;
}

} // namespace host
} // namespace Image
} // namespace DD
