// Lets a plug-in add values of its own to the trace lines of its node. A plug-in that wants this
// exports (visibility default, C linkage):
//
//   extern "C" const char* host_trace_fields(const DD::Image::Op* op, const char* event);
//
// returning a JSON object on one line ("{\"use_alpha\":1}") for the event, or null / "" for
// nothing. The text must stay valid until the next call (a thread_local std::string will do).
#pragma once

#include "runtime/TraceWriter.h"

namespace host_runtime {

class PluginLibrary;

// The hook of that plug-in for events of that op; an empty function when it exports none.
TraceWriter::ExtraFields pluginTraceFields(const PluginLibrary& plugin, const DD::Image::Op& node);

constexpr const char* kTraceFieldsSymbol = "host_trace_fields";

} // namespace host_runtime
