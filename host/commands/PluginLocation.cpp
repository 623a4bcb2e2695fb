#include "commands/PluginLocation.h"

#include <cstdlib>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace render_command {
namespace {

namespace fs = std::filesystem;

#if defined(_WIN32)
constexpr const char* kPluginSuffix = ".dll";
#elif defined(__APPLE__)
constexpr const char* kPluginSuffix = ".dylib";
#else
constexpr const char* kPluginSuffix = ".so";
#endif

constexpr const char* kTestPack = "tiny";

} // namespace

fs::path programDirectory(const std::string& programPath)
{
  std::error_code ec;
#if defined(_WIN32)
  wchar_t buffer[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  if (n > 0 && n < MAX_PATH)
    return fs::path(buffer).parent_path();
#else
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec)
    return self.parent_path();
#endif
  return fs::absolute(programPath, ec).parent_path();
}

fs::path defaultPluginDirectory(const fs::path& programDir)
{
  const fs::path plugins = programDir / ".." / "plugins";
  for (const char* pack : {"studio", "trained", "reference"}) {
    std::error_code ec;
    if (fs::is_directory(plugins / pack, ec))
      return (plugins / pack).lexically_normal();
  }
  return (plugins / kTestPack).lexically_normal();
}

std::string pluginPath(const CommandLine& cl, const std::string& programPath)
{
  if (!cl.pluginFile.empty())
    return cl.pluginFile;
  fs::path dir;
  if (!cl.pluginDir.empty())
    dir = cl.pluginDir;
  else if (const char* env = std::getenv("MAGNIFEX_PLUGIN_DIR"); env && *env)
    dir = env;
  else
    dir = defaultPluginDirectory(programDirectory(programPath));
  return (dir / (cl.className + kPluginSuffix)).lexically_normal().string();
}

bool isTestPack(const std::string& pluginFile)
{
  std::error_code ec;
  const fs::path absolute = fs::absolute(pluginFile, ec).lexically_normal();
  return absolute.parent_path().filename() == kTestPack;
}

} // namespace render_command
