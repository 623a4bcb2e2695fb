// A plug-in file loaded into the process the way the host loads it: by path, never linked.
#pragma once

#include <string>

namespace host_runtime {

class PluginLibrary {
public:
  // Loads the file and registers its path for plugin_find(). Its Op::Description objects register
  // their classes while it loads. Throws HostError(PluginLoad) with the loader's own message, or
  // without loading when the file is damaged (see platform/ElfFile.h).
  // The file stays loaded for the life of the process, as hosts keep plug-ins.
  static PluginLibrary load(const std::string& path);

  const std::string& path() const { return path_; }

  // An exported symbol of the plug-in, null when absent.
  void* symbol(const char* name) const;
  template <typename Function>
  Function function(const char* name) const
  {
    return reinterpret_cast<Function>(symbol(name));
  }

private:
  PluginLibrary(std::string path, void* handle) : path_(std::move(path)), handle_(handle) {}
  std::string path_;
  void* handle_;
};

} // namespace host_runtime
