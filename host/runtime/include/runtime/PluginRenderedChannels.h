// Lets a plug-in say which channels of its node's output it renders itself, so that a host can
// treat the others apart (carry them over from the input, or leave them out). A plug-in that
// wants this exports (visibility default, C linkage):
//
//   extern "C" int host_rendered_channels(const DD::Image::Op* op, DD::Image::ChannelSet* rendered);
//
// setting *rendered to the channels of that op in its present settings and returning 1, or
// returning 0 for an op it does not know.
#pragma once

#include <optional>

#include "DDImage/ChannelSet.h"
#include "DDImage/Op.h"

namespace host_runtime {

class PluginLibrary;

// Whether the plug-in exports the query: its nodes render some channels only.
bool pluginTellsRenderedChannels(const PluginLibrary& plugin);

// The channels `node` renders now; nothing when the plug-in does not say (all are its own).
std::optional<DD::Image::ChannelSet> pluginRenderedChannels(const PluginLibrary& plugin, const DD::Image::Op& node);

constexpr const char* kRenderedChannelsSymbol = "host_rendered_channels";

} // namespace host_runtime
