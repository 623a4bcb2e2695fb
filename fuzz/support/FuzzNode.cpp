#include "support/FuzzNode.h"

#include "DDImage/Iop.h"
#include "DDImage/Knobs.h"

namespace magnifex_fuzz {
namespace {

using namespace DD::Image;

constexpr const char* kClass = "FuzzKnobs";

const char* const kTypeEntries[] = {"Plates (Alexa) [RGB]", "CG [RGBA]", "say \"hi\"", "{braced}",     "#1",
                                    "C:\\plates",           "",          "7",          "Überblendung", nullptr};

class FuzzKnobs : public Iop {
public:
  explicit FuzzKnobs(Node* node) : Iop(node) {}

  const char* Class() const override { return kClass; }
  const char* node_help() const override { return "Knobs of every kind, for the fuzz targets."; }

  void knobs(Knob_Callback f) override
  {
    Text_knob(f, "Fuzz: ", "");
    Named_Text_knob(f, "last_changed", "", "none");
    SetFlags(f, Knob::DO_NOT_WRITE);
    Divider(f);
    BeginClosedGroup(f, "Options");
    Enumeration_knob(f, &type, kTypeEntries, "type");
    Int_knob(f, &count, "count", "count");
    Float_knob(f, &gain, "gain", "gain");
    Bool_knob(f, &enabled, "enabled", "enabled");
    Bool_knob(f, &secret, "secret", "secret");
    SetFlags(f, Knob::HIDDEN);
    EndGroup(f);
    Button(f, "reset", "reset gain");
    Tab_knob(f, "About");
  }

  int knob_changed(Knob* k) override
  {
    if (k == &Knob::showPanel)
      return 1;
    knob("last_changed")->text(k->name());
    if (k->is("reset"))
      knob("gain")->set_value(1.0);
    return 1;
  }

  int type = 0;
  int count = 1;
  float gain = 1.0f;
  bool enabled = true;
  bool secret = false;
};

Iop* build(Node* node)
{
  return new FuzzKnobs(node);
}

const Op::Description description(kClass, "Other/FuzzKnobs", build);

} // namespace

const char* fuzzNodeClass()
{
  return description.name;
}

} // namespace magnifex_fuzz
