#include "models/ModelLibrary.h"

#include "platform/ElfFile.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>

#include <cerrno>
#endif

namespace magnifex {

#ifdef _WIN32
#define MAGNIFEX_PLUGIN_FILE "Magnifex.dll"
#define MAGNIFEX_MODELS_FILE "MagnifexModels.dll"
#define MAGNIFEX_PATH_FORMAT "%ls"
#else
#define MAGNIFEX_PLUGIN_FILE "Magnifex.so"
#define MAGNIFEX_MODELS_FILE "MagnifexModels.so"
#define MAGNIFEX_PATH_FORMAT "%s"
#endif

namespace {

struct CatalogueRow {
  const char* name;   // "2CGsrG"
  const char* symbol; // "bw_get_model_2CGsrG"
  ModelInfo info;
};

constexpr CatalogueRow kCatalogue[] = {
#define MAGNIFEX_MODEL(code, family, scale, material, training)                                                        \
  {#code, "bw_get_model_" #code, {ModelFamily::family, scale}},
#define MAGNIFEX_SIGNATURE(...)
#include "models/ModelCatalogue.def"
#undef MAGNIFEX_SIGNATURE
#undef MAGNIFEX_MODEL
};
static_assert(std::size(kCatalogue) == kModelCodeCount);

// Process-wide: the library is shared by every node and never unloaded. Several nodes may open on
// different threads, so the one-time load and the table are guarded.
std::mutex g_mutex;
void* g_library = nullptr;
ModelGetter g_getters[kModelCodeCount] = {};

std::size_t index_of(ModelCode code)
{
  return static_cast<std::size_t>(code);
}

void print_load_failure(const char* plugin_path, const void* models_path, unsigned long code, const char* text)
{
  std::fprintf(stderr,
               "[Magnifex] Failed to load " MAGNIFEX_MODELS_FILE
               "\n  plugin_path: %s\n  models_path: " MAGNIFEX_PATH_FORMAT "\n  GetLastError: %lu (%s)\n",
               plugin_path ? plugin_path : "(null)",
#ifdef _WIN32
               static_cast<const wchar_t*>(models_path),
#else
               static_cast<const char*>(models_path),
#endif
               code, text);
}

void print_module_name_failure(unsigned long code)
{
  std::fprintf(stderr, "[Magnifex] GetModuleFileNameA failed (err=%lu)\n", code);
}

void print_missing_symbol(const char* symbol, unsigned long code)
{
  std::fprintf(stderr, "[Magnifex] GetProcAddress failed for %s (err=%lu)\n", symbol, code);
}

#ifdef _WIN32

// The plug-in path as the host gives it: UTF-8 if it converts, else the ANSI code page, else empty.
std::wstring widen_plugin_path(const char* path)
{
  if (!path)
    return {};
  for (UINT code_page : {CP_UTF8, CP_ACP}) {
    const int n = MultiByteToWideChar(code_page, 0, path, -1, nullptr, 0);
    if (n > 1) {
      std::wstring wide(static_cast<std::size_t>(n), L'\0');
      MultiByteToWideChar(code_page, 0, path, -1, &wide[0], n);
      wide.resize(static_cast<std::size_t>(n - 1));
      return wide;
    }
  }
  return {};
}

// The system's text for an error code, line end included as the system gives it.
std::string error_text(DWORD code)
{
  if (code == 0)
    return {};
  LPSTR buffer = nullptr;
  const DWORD n =
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                   code, 0x400, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  std::string text = (n != 0 && buffer) ? std::string(buffer, n) : std::string("Unknown error");
  if (buffer)
    LocalFree(buffer);
  return text;
}

bool load_locked(const char* plugin_path)
{
  const std::wstring wide_path = widen_plugin_path(plugin_path);
  const std::wstring directory = model_library_directory(wide_path);
  const std::wstring library_path = model_library_path(wide_path, L'\\', std::wstring(L"" MAGNIFEX_MODELS_FILE));

  // Process-wide: this also sets the search order of every later load in the host process.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  DLL_DIRECTORY_COOKIE cookie = nullptr;
  if (!directory.empty())
    cookie = AddDllDirectory(directory.c_str());
  HMODULE module =
    LoadLibraryExW(library_path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
  // Taken before RemoveDllDirectory, which may overwrite the thread's last error.
  const DWORD load_error = module ? 0 : GetLastError();
  g_library = module;
  if (cookie)
    RemoveDllDirectory(cookie);

  if (module) {
    char name[260] = {};
    if (GetModuleFileNameA(module, name, 260) == 0)
      print_module_name_failure(GetLastError());
    return true;
  }
  print_load_failure(plugin_path, library_path.c_str(), load_error, error_text(load_error).c_str());
  return false;
}

void* find_symbol(const char* symbol, unsigned long* error)
{
  FARPROC address = GetProcAddress(static_cast<HMODULE>(g_library), symbol);
  *error = address ? 0 : GetLastError();
  return reinterpret_cast<void*>(address);
}

#else // dlopen

bool load_locked(const char* plugin_path)
{
  const std::string library_path = model_library_path(plugin_path);

  // A cut-short file would be mapped all the same and kill the host with SIGBUS when touched.
  const platform::LibraryFileCheck check = platform::checkLibraryFile(library_path);
  if (!check.ok()) {
    print_load_failure(plugin_path, library_path.c_str(), static_cast<unsigned long>(ENOEXEC),
                       (library_path + " is damaged: " + check.problem).c_str());
    return false;
  }

  // The companion's RUNPATH ($ORIGIN) makes its own dependencies resolve from its directory first.
  errno = 0;
  void* handle = dlopen(library_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  const int load_errno = errno;
  if (handle) {
    g_library = handle;
    // Only checks that the loader can name the module; a failure is reported, not fatal.
    struct link_map* map = nullptr;
    errno = 0;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name) {
      print_module_name_failure(static_cast<unsigned long>(errno));
    }
    return true;
  }
  const char* text = dlerror();
  print_load_failure(plugin_path, library_path.c_str(), static_cast<unsigned long>(load_errno),
                     text ? text : "Unknown error");
  return false;
}

void* find_symbol(const char* symbol, unsigned long* error)
{
  dlerror(); // clear, so a stale message is not taken for this lookup's
  errno = 0;
  void* address = dlsym(g_library, symbol);
  *error = address ? 0ul : static_cast<unsigned long>(errno);
  return address;
}

#endif

} // namespace

const char* model_code_name(ModelCode code)
{
  return kCatalogue[index_of(code)].name;
}
const char* model_symbol_name(ModelCode code)
{
  return kCatalogue[index_of(code)].symbol;
}
ModelInfo model_info(ModelCode code)
{
  return kCatalogue[index_of(code)].info;
}

ModelCode model_code_from_name(const char* name)
{
  for (ModelCode code : kAllModelCodes) {
    if (name && std::strcmp(name, model_code_name(code)) == 0)
      return code;
  }
  throw std::invalid_argument(std::string("unknown model code: ") + (name ? name : "(null)"));
}

const char* plugin_file_name()
{
  return MAGNIFEX_PLUGIN_FILE;
}
const char* model_library_file_name()
{
  return MAGNIFEX_MODELS_FILE;
}

std::string model_library_path(const char* plugin_path)
{
  return model_library_path(std::string(plugin_path ? plugin_path : ""), kPathSeparator,
                            std::string(MAGNIFEX_MODELS_FILE));
}

bool load_model_library(const char* plugin_path)
{
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_library)
    return true;
  return load_locked(plugin_path);
}

bool model_library_loaded()
{
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_library != nullptr;
}

bool resolve_model_symbols()
{
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_library)
    return false;
  bool all_found = true;
  for (ModelCode code : kAllModelCodes) {
    unsigned long error = 0;
    void* address = find_symbol(model_symbol_name(code), &error);
    g_getters[index_of(code)] = reinterpret_cast<ModelGetter>(address);
    if (!address) {
      print_missing_symbol(model_symbol_name(code), error);
      all_found = false;
    }
  }
  return all_found;
}

ModelGetter model_getter(ModelCode code)
{
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_getters[index_of(code)];
}

void report_plugin_find_failure()
{
  std::fprintf(stderr, "[Magnifex] plugin_find(\"" MAGNIFEX_PLUGIN_FILE "\") returned null\n");
}

void report_model_library_failure()
{
  std::fprintf(stderr, "[Magnifex] Failed to load " MAGNIFEX_MODELS_FILE "\n");
}

void report_symbol_resolution_failure()
{
  std::fprintf(stderr, "[Magnifex] Failed to resolve one or more model symbols\n");
}

} // namespace magnifex
