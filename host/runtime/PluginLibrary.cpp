#include "runtime/PluginLibrary.h"

#include <filesystem>

#include "DDImageHost/Process.h"
#include "platform/ElfFile.h"
#include "runtime/HostError.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace host_runtime {
namespace {

#if defined(_WIN32)
std::string lastLoaderError()
{
  const DWORD code = GetLastError();
  char* text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = text ? text : "error " + std::to_string(code);
  if (text)
    LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
    message.pop_back();
  return message;
}

void* openLibrary(const std::string& path)
{
  return LoadLibraryW(std::filesystem::path(path).wstring().c_str());
}

void* findSymbol(void* handle, const char* name)
{
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
#else
std::string lastLoaderError()
{
  const char* text = dlerror();
  return text ? text : "unknown error";
}

// RTLD_GLOBAL is not used: each plug-in keeps its own symbols, as in the host.
void* openLibrary(const std::string& path)
{
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* findSymbol(void* handle, const char* name)
{
  return dlsym(handle, name);
}
#endif

} // namespace

PluginLibrary PluginLibrary::load(const std::string& path)
{
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::exists(path, ec))
    throw HostError(HostError::Kind::PluginLoad, "cannot load plug-in " + path + ": no such file");
  // An absolute path keeps the loader from searching its library path for a bare file name.
  const std::string full = fs::absolute(path, ec).string();
  // A truncated file would be mapped all the same and crash the process when touched.
  const platform::LibraryFileCheck check = platform::checkLibraryFile(full);
  if (!check.ok())
    throw HostError(HostError::Kind::PluginLoad,
                    "cannot load plug-in " + path + ": the file is damaged: " + check.problem);
  void* handle = openLibrary(full);
  if (!handle)
    throw HostError(HostError::Kind::PluginLoad, "cannot load plug-in " + path + ": " + lastLoaderError());
  DD::Image::host::registerPluginFile(full);
  return PluginLibrary(full, handle);
}

void* PluginLibrary::symbol(const char* name) const
{
  return handle_ ? findSymbol(handle_, name) : nullptr;
}

} // namespace host_runtime
