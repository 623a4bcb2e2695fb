// The plug-in's side of the companion model library (MagnifexModels): finding it beside the plug-in
// file, loading it once per process, resolving its seventeen archive getters, and the console
// messages for every failure along the way.
#pragma once

#include <array>
#include <cstddef>
#include <string>

namespace magnifex {

// The seventeen model codes of models/ModelCatalogue.def, in the order the getters are resolved
// (and reported when missing).
enum class ModelCode : int {
#define MAGNIFEX_MODEL(code, family, scale, material, training) k##code,
#define MAGNIFEX_SIGNATURE(...)
#include "models/ModelCatalogue.def"
#undef MAGNIFEX_SIGNATURE
#undef MAGNIFEX_MODEL
};

constexpr std::array kAllModelCodes = {
#define MAGNIFEX_MODEL(code, family, scale, material, training) ModelCode::k##code,
#define MAGNIFEX_SIGNATURE(...)
#include "models/ModelCatalogue.def"
#undef MAGNIFEX_SIGNATURE
#undef MAGNIFEX_MODEL
};
constexpr std::size_t kModelCodeCount = kAllModelCodes.size();

enum class ModelFamily { still, sequence, flow };

// The catalogue's row of a code: its family and scale factor (0 for the flow network).
struct ModelInfo {
  ModelFamily family;
  int scale;
};
ModelInfo model_info(ModelCode code);

const char* model_code_name(ModelCode code);   // "2CGsrG"
const char* model_symbol_name(ModelCode code); // "bw_get_model_2CGsrG"
// The code named "2CGsrG" etc.; throws std::invalid_argument for any other text.
ModelCode model_code_from_name(const char* name);

// Exported by the companion library with C linkage. The caller sets *size to 0; the getter writes
// the archive length and returns its first byte. The bytes belong to the library and live as long
// as the process.
typedef const void* (*ModelGetter)(size_t* size);

// The platform's file names: "Magnifex.so" / "MagnifexModels.so" (".dll" on Windows).
const char* plugin_file_name();
const char* model_library_file_name();

// The platform's directory separator used to join the library path ('\\' on Windows, '/' elsewhere).
#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// Everything before the last '\\' or '/' of plugin_path; empty when it holds neither.
template <class Char>
std::basic_string<Char> model_library_directory(const std::basic_string<Char>& plugin_path)
{
  const auto cut = plugin_path.find_last_of(std::basic_string<Char>{Char('\\'), Char('/')});
  if (cut == std::basic_string<Char>::npos)
    return {};
  return plugin_path.substr(0, cut);
}

// The companion library's path for a plug-in path: the bare file name when the plug-in path has no
// directory, else the directory, the separator (unless the directory already ends in one) and the
// file name. Separator and file name are parameters so each platform's rule can be checked anywhere.
template <class Char>
std::basic_string<Char> model_library_path(const std::basic_string<Char>& plugin_path, Char separator,
                                           const std::basic_string<Char>& library_file_name)
{
  std::basic_string<Char> path = model_library_directory(plugin_path);
  if (path.empty())
    return library_file_name;
  if (path.back() != Char('\\') && path.back() != Char('/'))
    path += separator;
  return path + library_file_name;
}

// The same with this platform's separator and file name; a null plugin_path counts as empty.
std::string model_library_path(const char* plugin_path);

// Makes sure the companion library is loaded. plugin_path is the plug-in file's full path as the
// host reports it, or null. Once loaded, returns true at once without looking at the path or the
// file again, and never unloads. On failure prints the detailed load message and returns false;
// the next call tries again. Safe to call from several threads.
bool load_model_library(const char* plugin_path);

// True once a load has succeeded.
bool model_library_loaded();

// Rewrites the getter table from the loaded library, printing one line per missing symbol in table
// order. False without touching the table or printing when no library is loaded; otherwise true
// only when all seventeen getters were found.
bool resolve_model_symbols();

// The getter of the last resolution, or null when it was missing or nothing was resolved yet.
ModelGetter model_getter(ModelCode code);

// The caller-side lines of the open step, kept here so all texts of these messages live in one place.
void report_plugin_find_failure();       // plugin_find returned null
void report_model_library_failure();     // load_model_library returned false
void report_symbol_resolution_failure(); // resolve_model_symbols returned false

} // namespace magnifex
