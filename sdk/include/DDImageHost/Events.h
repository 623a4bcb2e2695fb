// Host side only: a process-wide stream of what happens between the host and its ops, in order.
// The runtime library emits events from inside the SDK calls (validation, open, close, errors,
// progress, plane fetches); the host adds its own (knob changes, contexts, requests, renders).
// A trace writer or a render session listens.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "DDImage/Box.h"
#include "DDImage/ChannelSet.h"
#include "DDImage/DDImage_API.h"
#include "DDImage/Format.h"

namespace DD {
namespace Image {

class Op;

namespace host {

// JSON text to be written as it is (an object handed over by a plug-in hook, for instance).
struct RawJson {
  std::string text;
};

using EventValue = std::variant<std::monostate, bool, long long, double, std::string, Box, ChannelSet, Format, RawJson>;

struct DDImage_API Event {
  explicit Event(std::string type, const Op* op = nullptr) : type(std::move(type)), op(op) {}

  // Typed adders: a plain variant conversion would turn a const char* into a bool.
  Event& with(const std::string& key, bool v) { return add(key, v); }
  Event& with(const std::string& key, int v) { return add(key, static_cast<long long>(v)); }
  Event& with(const std::string& key, long long v) { return add(key, v); }
  Event& with(const std::string& key, double v) { return add(key, v); }
  Event& with(const std::string& key, const char* v) { return add(key, std::string(v ? v : "")); }
  Event& with(const std::string& key, const std::string& v) { return add(key, v); }
  Event& with(const std::string& key, const Box& v) { return add(key, v); }
  Event& with(const std::string& key, const ChannelSet& v) { return add(key, v); }
  Event& with(const std::string& key, const Format& v) { return add(key, v); }
  Event& with(const std::string& key, const RawJson& v) { return add(key, v); }

  // The value of a field, null when absent.
  const EventValue* find(const std::string& key) const;

  std::string type;
  const Op* op;
  std::vector<std::pair<std::string, EventValue>> fields;

private:
  Event& add(const std::string& key, EventValue v)
  {
    fields.emplace_back(key, std::move(v));
    return *this;
  }
};

using EventListener = std::function<void(const Event&)>;

// Listeners are called on the emitting thread, in the order they were added. A listener may emit
// or add/remove listeners itself.
DDImage_API int addEventListener(EventListener listener);
DDImage_API void removeEventListener(int id);
DDImage_API void emit(const Event& event);
// Cheap check so that frequent events (progress) are only built when someone listens.
DDImage_API bool hasEventListeners();

} // namespace host
} // namespace Image
} // namespace DD
