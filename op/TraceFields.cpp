// Values of the node that a host trace cannot see for itself, for pipeline debugging: a host
// that supports it asks the plug-in for them by this exported name, with each event of a node.
#include <string>

#include "op/Magnifex.h"

#if defined(_WIN32)
#define MAGNIFEX_EXPORT __declspec(dllexport)
#else
#define MAGNIFEX_EXPORT __attribute__((visibility("default")))
#endif

extern "C" MAGNIFEX_EXPORT const char* host_trace_fields(const DD::Image::Op* op, const char* event)
{
  thread_local std::string fields;
  const Magnifex* node = dynamic_cast<const Magnifex*>(op);
  if (!node || !event || std::string(event) != "validate")
    return nullptr;
  fields = "{\"use_alpha\":" + std::to_string(node->frame_state().use_alpha) +
           ",\"input_context_count\":" + std::to_string(node->frame_state().input_context_count) + "}";
  return fields.c_str();
}
