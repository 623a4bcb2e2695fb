#include <cmath>
#include <cstring>

#include "DDImage/Knobs.h"
#include "KnobImpl.h"

namespace DD {
namespace Image {

// Out-of-line definitions, so the flags may be bound to references (gtest, std::max, ...).
const Knob::FlagMask Knob::DO_NOT_WRITE;
const Knob::FlagMask Knob::STARTLINE;
const Knob::FlagMask Knob::HIDDEN;
const Knob::FlagMask Knob::EARLY_STORE;

Knob Knob::showPanel(0, Custom, "showPanel", nullptr);

Knob::Knob(int type, int storeType, const char* name, const char* label) : impl_(new KnobImpl)
{
  impl_->type = type;
  impl_->storeType = storeType;
  if (name)
    impl_->name = name;
  if (label)
    impl_->label = label;
}

Knob::~Knob() = default;

bool Knob::is(const char* name) const
{
  return name && impl_->name && *impl_->name == name;
}

const char* Knob::name() const
{
  return impl_->name ? impl_->name->c_str() : "";
}

// What the panel shows: the label, or the name when no label was given.
const char* Knob::label() const
{
  return impl_->label ? impl_->label->c_str() : name();
}

int Knob::type() const
{
  return impl_->type;
}
int Knob::storeType() const
{
  return impl_->storeType;
}

const char* Knob::tooltip() const
{
  return impl_->tooltip.c_str();
}
void Knob::tooltip(const char* t)
{
  impl_->tooltip = t ? t : "";
}

Knob::FlagMask Knob::flags() const
{
  return impl_->flags;
}
void Knob::set_flag(FlagMask f)
{
  impl_->flags |= f;
}
void Knob::clear_flag(FlagMask f)
{
  impl_->flags &= ~f;
}

void Knob::enable()
{
  impl_->enabled = true;
}
void Knob::disable()
{
  impl_->enabled = false;
}
bool Knob::isEnabled() const
{
  return impl_->enabled;
}

double Knob::get_value(int) const
{
  if (!impl_->pointer)
    return 0.0;
  switch (impl_->storeType) {
  case IntPtr: return *static_cast<const int*>(impl_->pointer);
  case BoolPtr: return *static_cast<const bool*>(impl_->pointer) ? 1.0 : 0.0;
  case FloatPtr: return *static_cast<const float*>(impl_->pointer);
  default: return 0.0;
  }
}

// The value goes straight into the op member; reacting to it (knob_changed) is the host's call.
bool Knob::set_value(double value, int)
{
  if (!impl_->pointer)
    return false;
  switch (impl_->storeType) {
  case IntPtr: {
    int& member = *static_cast<int*>(impl_->pointer);
    const int v = int(std::lround(value)); // rounds, so 2.9999999 from a float expression is 3
    const bool changed = member != v;
    member = v;
    return changed;
  }
  case BoolPtr: {
    bool& member = *static_cast<bool*>(impl_->pointer);
    const bool v = value != 0.0;
    const bool changed = member != v;
    member = v;
    return changed;
  }
  case FloatPtr: {
    float& member = *static_cast<float*>(impl_->pointer);
    const float v = float(value);
    // NaN never equals itself; a NaN replacing a NaN is no change.
    const bool changed = !(member == v || (std::isnan(member) && std::isnan(v)));
    member = v;
    return changed;
  }
  default: return false;
  }
}

const char* Knob::text() const
{
  return impl_->text ? impl_->text->c_str() : "";
}
void Knob::text(const char* t)
{
  impl_->text = std::string(t ? t : "");
}

const std::vector<std::string>& Knob::enumerationItems() const
{
  return impl_->entries;
}

Op* Knob::op() const
{
  return impl_->op;
}

} // namespace Image
} // namespace DD
