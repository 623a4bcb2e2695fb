// Process-wide host state: the GUI flag and the loaded plug-in files.
#include <atomic>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>

#include "DDImage/Application.h"
#include "DDImage/plugins.h"
#include "DDImageHost/Process.h"

namespace DD {
namespace Image {
namespace {

std::atomic<bool> g_guiActive{false};

struct PluginFiles {
  std::mutex mutex;
  std::deque<std::string> paths; // a deque keeps the c_str() pointers handed out valid
};

PluginFiles& pluginFiles()
{
  static PluginFiles files;
  return files;
}

} // namespace

bool Application::IsGUIActive()
{
  return g_guiActive;
}

// Matches the file name; failing that, the name without its extension, so a plug-in that asks
// for its file under another platform's extension ("X.dll") still finds the "X.so" loaded here.
const char* plugin_find(const char* name, const char* const* extensions)
{
  if (!name || !*name)
    return nullptr;
  namespace fs = std::filesystem;
  const fs::path wanted(name);
  PluginFiles& files = pluginFiles();
  std::lock_guard<std::mutex> lock(files.mutex);
  for (auto it = files.paths.rbegin(); it != files.paths.rend(); ++it) {
    const fs::path loaded(*it);
    if (loaded.filename() == wanted.filename())
      return it->c_str();
    if (extensions) {
      for (const char* const* e = extensions; *e; ++e)
        if (loaded.filename() == fs::path(std::string(name) + *e).filename())
          return it->c_str();
    }
  }
  for (auto it = files.paths.rbegin(); it != files.paths.rend(); ++it)
    if (fs::path(*it).stem() == wanted.stem())
      return it->c_str();
  return nullptr;
}

namespace host {

void registerPluginFile(const std::string& path)
{
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path full = fs::weakly_canonical(fs::absolute(path, ec), ec);
  if (full.empty())
    full = path;
  PluginFiles& files = pluginFiles();
  std::lock_guard<std::mutex> lock(files.mutex);
  for (const std::string& p : files.paths)
    if (p == full.string())
      return;
  files.paths.push_back(full.string());
}

void setGUIActive(bool active)
{
  g_guiActive = active;
}

} // namespace host
} // namespace Image
} // namespace DD
