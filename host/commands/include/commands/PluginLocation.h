// Where magnifex-render finds the plug-in it loads.
#pragma once

#include <filesystem>
#include <string>

#include "commands/CommandLine.h"

namespace render_command {

// The folder of the running program (from the system where it can tell, else from argv[0]).
std::filesystem::path programDirectory(const std::string& programPath);

// The plug-in directory used when neither --plugin-dir nor $MAGNIFEX_PLUGIN_DIR names one: the
// best pack built next to the program, <bin>/../plugins/studio, else .../reference, else
// .../tiny (named even when missing, so that the error says where it looked).
std::filesystem::path defaultPluginDirectory(const std::filesystem::path& programDir);

// The plug-in file a command line loads: --plugin, else <dir>/<class>.so with dir from
// --plugin-dir, $MAGNIFEX_PLUGIN_DIR or the default above.
std::string pluginPath(const CommandLine& commandLine, const std::string& programPath);

// Whether the plug-in comes from a pack of test networks (a plug-in directory named "tiny"),
// whose pictures mean nothing.
bool isTestPack(const std::string& pluginFile);

} // namespace render_command
