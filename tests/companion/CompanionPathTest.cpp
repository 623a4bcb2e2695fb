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

TEST(ModelCodes, NamesFollowTheTableOrder)
{
  const char* expected[] = {"2CGsrG", "2CGsrP", "2CGstG", "2CGstP", "2PAsrG", "2PAsrP", "2PstG", "2PstP", "4CGsrG",
                            "4CGsrP", "4CGstG", "4CGstP", "4PAsrG", "4PAsrP", "4PstG",  "4PstP", "FLWN"};
  ASSERT_EQ(kAllModelCodes.size(), std::size(expected));
  std::set<std::string> symbols;
  for (std::size_t i = 0; i < kAllModelCodes.size(); ++i) {
    const ModelCode code = kAllModelCodes[i];
    EXPECT_EQ(static_cast<std::size_t>(code), i);
    EXPECT_STREQ(model_code_name(code), expected[i]);
    EXPECT_EQ(model_symbol_name(code), std::string("bw_get_model_") + expected[i]);
    EXPECT_EQ(model_code_from_name(expected[i]), code);
    symbols.insert(model_symbol_name(code));
  }
  EXPECT_EQ(symbols.size(), kModelCodeCount);
  EXPECT_THROW(model_code_from_name("4PstX"), std::invalid_argument);
  EXPECT_THROW(model_code_from_name("4PstG "), std::invalid_argument);
  EXPECT_THROW(model_code_from_name(nullptr), std::invalid_argument);
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
