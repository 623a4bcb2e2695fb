// Names and the library path rule: pure functions, no library involved.
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>

#include "models/ModelLibrary.h"

using namespace magnifex;

namespace {

std::string windows_path(const std::string& plugin_path)
{
  return model_library_path(plugin_path, '\\', std::string("MagnifexModels.dll"));
}

// Every code's name says what its catalogue row says: scale digit, material, still or sequence
// family, GAN or PSNR end (the flow network stands alone); names and symbols are unique and read back.
TEST(ModelCodes, NamesSayTheirRowAndReadBack)
{
  EXPECT_EQ(kAllModelCodes.size(), 17u); // the getters a companion library exports
  std::set<std::string> symbols;
  for (std::size_t i = 0; i < kAllModelCodes.size(); ++i) {
    const ModelCode code = kAllModelCodes[i];
    const std::string name = model_code_name(code);
    SCOPED_TRACE(name);
    EXPECT_EQ(static_cast<std::size_t>(code), i);
    EXPECT_EQ(model_symbol_name(code), "bw_get_model_" + name);
    EXPECT_EQ(model_code_from_name(name.c_str()), code);
    symbols.insert(model_symbol_name(code));
    const ModelInfo info = model_info(code);
    if (info.family == ModelFamily::flow) {
      EXPECT_EQ(name, "FLWN");
      continue;
    }
    EXPECT_EQ(name.front(), char('0' + info.scale));
    EXPECT_TRUE(name.back() == 'G' || name.back() == 'P');
    const std::string family = name.substr(name.size() - 3, 2);
    EXPECT_EQ(family, info.family == ModelFamily::still ? "st" : "sr");
    const std::string material = name.substr(1, name.size() - 4);
    EXPECT_TRUE(material == "CG" || material == (info.family == ModelFamily::still ? "P" : "PA")) << material;
  }
  EXPECT_EQ(symbols.size(), kModelCodeCount);
  EXPECT_THROW(model_code_from_name("4PstX"), std::invalid_argument);
  EXPECT_THROW(model_code_from_name("4PstG "), std::invalid_argument);
  EXPECT_THROW(model_code_from_name(nullptr), std::invalid_argument);
}

// The networks of a group are found by what they are, not by spelling their codes.
TEST(ModelCodes, FoundByFamilyScaleMaterialAndTraining)
{
  struct Row {
    ModelFamily family;
    int scale;
    ModelMaterial material;
    ModelTraining training;
    const char* code; // nullptr: no such network
  };
  const Row rows[] = {
    {ModelFamily::still, 4, ModelMaterial::P, ModelTraining::G, "4PstG"},
    {ModelFamily::still, 2, ModelMaterial::P, ModelTraining::P, "2PstP"},
    {ModelFamily::still, 2, ModelMaterial::CG, ModelTraining::G, "2CGstG"},
    {ModelFamily::sequence, 4, ModelMaterial::PA, ModelTraining::P, "4PAsrP"},
    {ModelFamily::sequence, 2, ModelMaterial::CG, ModelTraining::G, "2CGsrG"},
    {ModelFamily::flow, 0, ModelMaterial::none, ModelTraining::none, "FLWN"},
    {ModelFamily::still, 3, ModelMaterial::P, ModelTraining::P, nullptr},
    {ModelFamily::sequence, 2, ModelMaterial::P, ModelTraining::P, nullptr}, // sequence plates are PA
    {ModelFamily::flow, 2, ModelMaterial::none, ModelTraining::none, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code ? row.code : "none");
    if (row.code)
      EXPECT_STREQ(model_code_name(find_model(row.family, row.scale, row.material, row.training)), row.code);
    else
      EXPECT_THROW(find_model(row.family, row.scale, row.material, row.training), std::invalid_argument);
  }
}

TEST(ModelLibraryPath, WindowsRule)
{
  EXPECT_EQ(windows_path("C:\\plugins\\Magnifex.dll"), "C:\\plugins\\MagnifexModels.dll");
  // Forward slashes split too; the joint is still the Windows separator.
  EXPECT_EQ(windows_path("D:/tools/nuke/Magnifex.dll"), "D:/tools/nuke\\MagnifexModels.dll");
  EXPECT_EQ(windows_path("D:/tools\\nuke/Magnifex.dll"), "D:/tools\\nuke\\MagnifexModels.dll");
  EXPECT_EQ(windows_path("Magnifex.dll"), "MagnifexModels.dll");
  EXPECT_EQ(windows_path(""), "MagnifexModels.dll");
  // The directory keeps a separator it already ends in, and then gets no second one.
  EXPECT_EQ(windows_path("C:\\plugins\\\\Magnifex.dll"), "C:\\plugins\\MagnifexModels.dll");
  EXPECT_EQ(windows_path("C:/plugins//Magnifex.dll"), "C:/plugins/MagnifexModels.dll");
  // A path ending in a separator has an empty file name but a directory.
  EXPECT_EQ(windows_path("C:\\plugins\\"), "C:\\plugins\\MagnifexModels.dll");
  EXPECT_EQ(windows_path("\\Magnifex.dll"), "MagnifexModels.dll"); // root: empty directory
}

TEST(ModelLibraryPath, WideStringsFollowTheSameRule)
{
  EXPECT_EQ(model_library_path(std::wstring(L"D:/tools/nuke/Magnifex.dll"), L'\\', std::wstring(L"MagnifexModels.dll")),
            L"D:/tools/nuke\\MagnifexModels.dll");
  EXPECT_EQ(model_library_directory(std::wstring(L"C:\\plugins\\Magnifex.dll")), L"C:\\plugins");
  EXPECT_EQ(model_library_directory(std::wstring(L"Magnifex.dll")), L"");
}

#ifndef _WIN32
TEST(ModelLibraryPath, Linux)
{
  EXPECT_STREQ(plugin_file_name(), "Magnifex.so");
  EXPECT_STREQ(model_library_file_name(), "MagnifexModels.so");
  EXPECT_EQ(model_library_path("/opt/nuke/plugins/Magnifex.so"), "/opt/nuke/plugins/MagnifexModels.so");
  EXPECT_EQ(model_library_path("/opt/nuke/plugins//Magnifex.so"), "/opt/nuke/plugins/MagnifexModels.so");
  EXPECT_EQ(model_library_path("plugins/Magnifex.so"), "plugins/MagnifexModels.so");
  EXPECT_EQ(model_library_path("/Magnifex.so"), "MagnifexModels.so");
  EXPECT_EQ(model_library_path("Magnifex.so"), "MagnifexModels.so");
  EXPECT_EQ(model_library_path(""), "MagnifexModels.so");
  EXPECT_EQ(model_library_path(nullptr), "MagnifexModels.so");
}
#endif

} // namespace
