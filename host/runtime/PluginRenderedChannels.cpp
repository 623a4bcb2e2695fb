#include "runtime/PluginRenderedChannels.h"

#include "runtime/PluginLibrary.h"

namespace host_runtime {
namespace {

using Query = int (*)(const DD::Image::Op*, DD::Image::ChannelSet*);

} // namespace

bool pluginTellsRenderedChannels(const PluginLibrary& plugin)
{
  return plugin.function<Query>(kRenderedChannelsSymbol) != nullptr;
}

std::optional<DD::Image::ChannelSet> pluginRenderedChannels(const PluginLibrary& plugin, const DD::Image::Op& node)
{
  const Query query = plugin.function<Query>(kRenderedChannelsSymbol);
  DD::Image::ChannelSet rendered;
  if (!query || query(&node, &rendered) != 1)
    return std::nullopt;
  return rendered;
}

} // namespace host_runtime
