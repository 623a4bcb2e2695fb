#pragma once

#include <memory>
#include <string>
#include <vector>

#include "DDImage_API.h"

namespace DD {
namespace Image {

class Op;
struct KnobImpl;

// Numeric access to a knob's value.
class DDImage_API ValueStuffI {
public:
  virtual ~ValueStuffI() {}
  virtual double get_value(int index = 0) const = 0;
  // Sets the value (index -1: every component). Returns whether it changed.
  virtual bool set_value(double value, int index = -1) = 0;
};

// Access to the text a text knob shows.
class DDImage_API Text_KnobI {
public:
  virtual ~Text_KnobI() {}
  virtual const char* text() const = 0;
  virtual void text(const char* t) = 0;
};

// One parameter of an op's panel.
class DDImage_API Knob : public ValueStuffI, public Text_KnobI {
public:
  typedef unsigned long long FlagMask;

  static const FlagMask DO_NOT_WRITE = 0x200;
  static const FlagMask STARTLINE = 0x1000;
  static const FlagMask HIDDEN = 0x40000;
  static const FlagMask EARLY_STORE = 0x80000000ull;

  // The knob handed to knob_changed() when the op's panel is shown.
  static Knob showPanel;

  Knob(int type, int storeType, const char* name, const char* label);
  ~Knob() override;

  Knob(const Knob&) = delete;
  Knob& operator=(const Knob&) = delete;

  bool is(const char* name) const;
  const char* name() const;
  const char* label() const;
  int type() const;
  int storeType() const;

  const char* tooltip() const;
  void tooltip(const char* t);

  FlagMask flags() const;
  bool flag(FlagMask f) const { return (flags() & f) == f; }
  void set_flag(FlagMask f);
  void clear_flag(FlagMask f);

  void enable();
  void disable();
  void enable(bool on)
  {
    if (on)
      enable();
    else
      disable();
  }
  bool isEnabled() const;

  double get_value(int index = 0) const override;
  bool set_value(double value, int index = -1) override;

  const char* text() const override;
  void text(const char* t) override;
  Text_KnobI* textKnob() { return this; }

  // Entry labels of an enumeration knob.
  const std::vector<std::string>& enumerationItems() const;

  Op* op() const;

  KnobImpl* impl() const { return impl_.get(); }

private:
  std::unique_ptr<KnobImpl> impl_;
};

} // namespace Image
} // namespace DD
