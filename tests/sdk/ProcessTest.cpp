#include <gtest/gtest.h>

#include <filesystem>

#include "DDImage/Application.h"
#include "DDImage/plugins.h"
#include "DDImageHost/Process.h"

using namespace DD::Image;

TEST(PluginFind, ReturnsTheFullPathOfALoadedFileByName)
{
  EXPECT_EQ(plugin_find("Finder.so"), nullptr);
  host::registerPluginFile("some/dir/../plugins/Finder.so");
  const char* path = plugin_find("Finder.so", nullptr);
  ASSERT_NE(path, nullptr);
  EXPECT_TRUE(std::filesystem::path(path).is_absolute());
  EXPECT_EQ(std::filesystem::path(path).filename(), "Finder.so");
  EXPECT_EQ(std::string(path).find(".."), std::string::npos);
  EXPECT_STREQ(plugin_find("Finder.dll"), path); // another platform's name of the same file
  const char* const extensions[] = {".so", nullptr};
  EXPECT_STREQ(plugin_find("Finder", extensions), path);
  EXPECT_EQ(plugin_find("Find.so"), nullptr);
  EXPECT_EQ(plugin_find(nullptr), nullptr);
}

TEST(Application, IsABatchRenderUnlessTheHostSaysOtherwise)
{
  EXPECT_FALSE(Application::IsGUIActive());
  host::setGUIActive(true);
  EXPECT_TRUE(Application::IsGUIActive());
  host::setGUIActive(false);
}
