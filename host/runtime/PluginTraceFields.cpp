#include "runtime/PluginTraceFields.h"

#include "runtime/PluginLibrary.h"

namespace host_runtime {

TraceWriter::ExtraFields pluginTraceFields(const PluginLibrary& plugin, const DD::Image::Op& node)
{
  using Hook = const char* (*)(const DD::Image::Op*, const char*);
  const Hook hook = plugin.function<Hook>(kTraceFieldsSymbol);
  if (!hook)
    return {};
  const DD::Image::Op* target = &node;
  return [hook, target](const DD::Image::Op& op, const std::string& event) -> std::string {
    if (&op != target)
      return {};
    const char* text = hook(&op, event.c_str());
    return text ? text : "";
  };
}

} // namespace host_runtime
