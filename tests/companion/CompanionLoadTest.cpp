// Loading the companion library and resolving its getters. The handle and the getter table are
// process-wide, so each case expects a process of its own (ctest runs them so) and skips otherwise.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "Companion.h"
#include "models/ModelLibrary.h"

using namespace magnifex;
using magnifex::test::ScratchDir;
namespace fs = std::filesystem;

namespace {

#define SKIP_UNLESS_FRESH_PROCESS()                                                                                    \
  if (model_library_loaded())                                                                                          \
  GTEST_SKIP() << "needs a process of its own (run it through ctest)"

void capture_begin()
{
  ::testing::internal::CaptureStderr();
}
std::string captured()
{
  return ::testing::internal::GetCapturedStderr();
}

// The detailed load message up to the error code; the code and the loader's text follow.
std::string load_failure_head(const std::string& plugin_path, const std::string& models_path)
{
  return "[Magnifex] Failed to load MagnifexModels.so\n  plugin_path: " + plugin_path +
         "\n  models_path: " + models_path + "\n  GetLastError: ";
}

void expect_load_failure(const std::string& text, const std::string& plugin_path, const std::string& models_path)
{
  const std::string head = load_failure_head(plugin_path, models_path);
  ASSERT_EQ(text.substr(0, head.size()), head) << text;
  // "<errno> (<dlerror text naming the file>)\n", and nothing after it.
  EXPECT_TRUE(std::regex_match(text.substr(head.size()), std::regex("[0-9]+ \\(.+\\)\n"))) << text;
  EXPECT_NE(text.find("MagnifexModels.so", head.size()), std::string::npos) << text;
}

std::string missing_symbol_lines(const std::vector<ModelCode>& codes)
{
  std::string lines;
  for (ModelCode code : codes)
    lines += std::string("\\[Magnifex\\] GetProcAddress failed for ") + model_symbol_name(code) + " \\(err=[0-9]+\\)\n";
  return lines;
}

TEST(CompanionLoad, MissingLibraryReportsEveryOpenUntilItAppears)
{
  SKIP_UNLESS_FRESH_PROCESS();
  MAGNIFEX_COMPANION_OR_SKIP(tiny, "tiny");
  ScratchDir dir;
  const std::string plugin = (dir.path() / "Magnifex.so").string();
  const std::string models = (dir.path() / "MagnifexModels.so").string();

  for (int open = 0; open < 2; ++open) {
    capture_begin();
    EXPECT_FALSE(load_model_library(plugin.c_str()));
    expect_load_failure(captured(), plugin, models);
  }
  // Not loaded: resolution fails quietly and leaves the table empty.
  capture_begin();
  EXPECT_FALSE(resolve_model_symbols());
  EXPECT_EQ(captured(), "");
  EXPECT_EQ(model_getter(ModelCode::k2PstG), nullptr);

  fs::copy_file(tiny, models);
  capture_begin();
  EXPECT_TRUE(load_model_library(plugin.c_str()));
  EXPECT_TRUE(resolve_model_symbols());
  EXPECT_EQ(captured(), "");
  for (ModelCode code : kAllModelCodes)
    EXPECT_NE(model_getter(code), nullptr) << model_code_name(code);
}

// A cut-short library is refused before the loader maps it (which would end the host with SIGBUS),
// with the usual load lines naming the damage; a whole copy then loads.
TEST(CompanionLoad, TruncatedLibraryIsReportedAsDamaged)
{
  SKIP_UNLESS_FRESH_PROCESS();
  MAGNIFEX_COMPANION_OR_SKIP(tiny, "tiny");
  ScratchDir dir;
  const std::string plugin = (dir.path() / "Magnifex.so").string();
  const std::string models = (dir.path() / "MagnifexModels.so").string();
  const auto size = fs::file_size(tiny);
  // Where the cut falls is the file check's concern; here, that the loader asks it and says so.
  for (std::uintmax_t kept : {size / 2}) {
    fs::copy_file(tiny, models, fs::copy_options::overwrite_existing);
    fs::resize_file(models, kept);
    capture_begin();
    EXPECT_FALSE(load_model_library(plugin.c_str())) << kept;
    const std::string text = captured();
    expect_load_failure(text, plugin, models);
    EXPECT_NE(text.find("is damaged"), std::string::npos) << text;
  }
  fs::copy_file(tiny, models, fs::copy_options::overwrite_existing);
  EXPECT_TRUE(load_model_library(plugin.c_str()));
}

TEST(CompanionLoad, NullOrBarePluginPathTriesTheBareName)
{
  SKIP_UNLESS_FRESH_PROCESS();
  capture_begin();
  EXPECT_FALSE(load_model_library(nullptr));
  expect_load_failure(captured(), "(null)", "MagnifexModels.so");

  capture_begin();
  EXPECT_FALSE(load_model_library("Magnifex.so"));
  expect_load_failure(captured(), "Magnifex.so", "MagnifexModels.so");
}

TEST(CompanionLoad, LoadsOnceAndNeverLooksAgain)
{
  SKIP_UNLESS_FRESH_PROCESS();
  MAGNIFEX_COMPANION_OR_SKIP(tiny, "tiny");
  ScratchDir dir;
  const std::string plugin = (dir.path() / "Magnifex.so").string();
  fs::copy_file(tiny, dir.path() / "MagnifexModels.so");

  capture_begin();
  EXPECT_TRUE(load_model_library(plugin.c_str()));
  EXPECT_TRUE(model_library_loaded());
  fs::remove(dir.path() / "MagnifexModels.so");
  EXPECT_TRUE(load_model_library(plugin.c_str()));
  EXPECT_TRUE(load_model_library(nullptr));
  EXPECT_TRUE(load_model_library("/nowhere/Magnifex.so"));
  EXPECT_TRUE(resolve_model_symbols());
  EXPECT_EQ(captured(), "");

  // The getters still hand out their bytes from the library, which stays mapped.
  size_t size = 0;
  const void* data = model_getter(ModelCode::kFLWN)(&size);
  ASSERT_NE(data, nullptr);
  ASSERT_GT(size, 4u);
  EXPECT_EQ(std::memcmp(data, "PK\x03\x04", 4), 0); // a TorchScript archive is a zip file
}

TEST(CompanionLoad, MissingStillCGGetterFailsTheWholeResolution)
{
  SKIP_UNLESS_FRESH_PROCESS();
  MAGNIFEX_COMPANION_OR_SKIP(lib, "broken-missing-4CGstG");
  const std::string plugin = (fs::path(lib).parent_path() / "Magnifex.so").string();
  ASSERT_TRUE(load_model_library(plugin.c_str()));
  // Every open resolves again and reports again.
  for (int open = 0; open < 2; ++open) {
    capture_begin();
    EXPECT_FALSE(resolve_model_symbols());
    const std::string text = captured();
    EXPECT_TRUE(std::regex_match(text, std::regex(missing_symbol_lines({ModelCode::k4CGstG})))) << text;
  }
  for (ModelCode code : kAllModelCodes) {
    if (code == ModelCode::k4CGstG)
      EXPECT_EQ(model_getter(code), nullptr);
    else
      EXPECT_NE(model_getter(code), nullptr) << model_code_name(code);
  }
}

TEST(CompanionLoad, MissingGettersAreReportedInTableOrder)
{
  SKIP_UNLESS_FRESH_PROCESS();
  MAGNIFEX_COMPANION_OR_SKIP(lib, "broken-missing-flow-and-4x");
  const std::string plugin = (fs::path(lib).parent_path() / "Magnifex.so").string();
  ASSERT_TRUE(load_model_library(plugin.c_str()));
  capture_begin();
  EXPECT_FALSE(resolve_model_symbols());
  const std::string text = captured();
  std::vector<ModelCode> missing;
  for (ModelCode code : kAllModelCodes)
    if (model_code_name(code)[0] != '2')
      missing.push_back(code);
  ASSERT_EQ(missing.size(), 9u);
  EXPECT_TRUE(std::regex_match(text, std::regex(missing_symbol_lines(missing)))) << text;
  EXPECT_NE(model_getter(ModelCode::k2PAsrP), nullptr);
  EXPECT_EQ(model_getter(ModelCode::kFLWN), nullptr);
}

TEST(CompanionLoad, ConcurrentOpensAllSucceedQuietly)
{
  SKIP_UNLESS_FRESH_PROCESS();
  MAGNIFEX_COMPANION_OR_SKIP(tiny, "tiny");
  const std::string plugin = (fs::path(tiny).parent_path() / "Magnifex.so").string();
  constexpr int kThreads = 8;
  std::vector<int> ok(kThreads, 0);
  std::vector<std::thread> threads;
  capture_begin();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ok[t] =
        load_model_library(plugin.c_str()) && resolve_model_symbols() && model_getter(ModelCode::k4PstP) != nullptr;
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(captured(), "");
  for (int t = 0; t < kThreads; ++t)
    EXPECT_TRUE(ok[t]) << "thread " << t;
}

TEST(CompanionLoad, CallerSideMessages)
{
  capture_begin();
  report_plugin_find_failure();
  report_model_library_failure();
  report_symbol_resolution_failure();
  EXPECT_EQ(captured(), "[Magnifex] plugin_find(\"Magnifex.so\") returned null\n"
                        "[Magnifex] Failed to load MagnifexModels.so\n"
                        "[Magnifex] Failed to resolve one or more model symbols\n");
}

} // namespace
