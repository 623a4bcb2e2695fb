#pragma once

#include <cstdint>

#include "DDImage_API.h"
#include "Knob.h"

namespace DD {
namespace Image {

// Knob types and value store types as the host numbers them.
enum KnobType {
  INT_KNOB = 3,
  ENUMERATION_KNOB = 4,
  BOOL_KNOB = 6,
  FLOAT_KNOB = 8,
  TAB_KNOB = 20,
  TEXT_KNOB = 26,
  PYSCRIPT_KNOB = 32,
  // Pseudo knobs that modify the knob declared last.
  TOOLTIP = 1000,
  ADD_FLAGS = 1001,
  CLEAR_FLAGS = 1002
};

enum StoreType { FloatPtr = 1, IntPtr = 3, BoolPtr = 5, Custom = 19 };

// Group markers passed as the extra value of TAB_KNOB.
enum GroupMarker { GROUP_OPEN = 1, GROUP_CLOSED = 2, GROUP_END = -1 };

// The host's knob callback: it declares, binds or stores knobs, depending on why knobs() runs.
class DDImage_API Knob_Closure {
public:
  virtual ~Knob_Closure() {}
  // Returns the knob made or found, or null when this pass makes no knobs.
  virtual Knob* operator()(int knobType, int storeType, void* pointer, const char* name, const char* label,
                           const void* extra) = 0;
  virtual bool makeKnobs() const = 0;
};

typedef Knob_Closure& Knob_Callback;

inline const void* group_marker(int m)
{
  return reinterpret_cast<const void*>(static_cast<std::intptr_t>(m));
}

inline Knob* Int_knob(Knob_Callback f, int* p, const char* name, const char* label = nullptr)
{
  return f(INT_KNOB, IntPtr, p, name, label, nullptr);
}

inline Knob* Enumeration_knob(Knob_Callback f, int* p, const char* const* entries, const char* name,
                              const char* label = nullptr)
{
  return f(ENUMERATION_KNOB, IntPtr, p, name, label, entries);
}

inline Knob* Bool_knob(Knob_Callback f, bool* p, const char* name, const char* label = nullptr)
{
  return f(BOOL_KNOB, BoolPtr, p, name, label, nullptr);
}

inline Knob* Float_knob(Knob_Callback f, float* p, const char* name, const char* label = nullptr)
{
  return f(FLOAT_KNOB, FloatPtr, p, name, label, nullptr);
}

inline Knob* Button(Knob_Callback f, const char* name, const char* label = nullptr)
{
  return f(PYSCRIPT_KNOB, Custom, nullptr, name, label, nullptr);
}

// A text line with a label and no name.
inline Knob* Text_knob(Knob_Callback f, const char* label, const char* text)
{
  return f(TEXT_KNOB, Custom, nullptr, nullptr, label, text);
}

// A text line with neither name nor label.
inline Knob* Text_knob(Knob_Callback f, const char* text)
{
  return f(TEXT_KNOB, Custom, nullptr, nullptr, nullptr, text);
}

inline Knob* Named_Text_knob(Knob_Callback f, const char* name, const char* label, const char* text)
{
  return f(TEXT_KNOB, Custom, nullptr, name, label, text);
}

inline Knob* Divider(Knob_Callback f)
{
  return f(TEXT_KNOB, Custom, nullptr, nullptr, nullptr, nullptr);
}

inline Knob* BeginGroup(Knob_Callback f, const char* name, const char* label = nullptr)
{
  return f(TAB_KNOB, Custom, nullptr, name, label, group_marker(GROUP_OPEN));
}

inline Knob* BeginClosedGroup(Knob_Callback f, const char* name, const char* label = nullptr)
{
  return f(TAB_KNOB, Custom, nullptr, name, label, group_marker(GROUP_CLOSED));
}

inline Knob* EndGroup(Knob_Callback f)
{
  return f(TAB_KNOB, Custom, nullptr, nullptr, nullptr, group_marker(GROUP_END));
}

inline Knob* Tab_knob(Knob_Callback f, const char* label)
{
  return f(TAB_KNOB, Custom, nullptr, nullptr, label, nullptr);
}

inline void Tooltip(Knob_Callback f, const char* text)
{
  f(TOOLTIP, Custom, nullptr, nullptr, nullptr, text);
}

inline void SetFlags(Knob_Callback f, Knob::FlagMask flags)
{
  f(ADD_FLAGS, Custom, &flags, nullptr, nullptr, nullptr);
}

inline void ClearFlags(Knob_Callback f, Knob::FlagMask flags)
{
  f(CLEAR_FLAGS, Custom, &flags, nullptr, nullptr, nullptr);
}

} // namespace Image
} // namespace DD
