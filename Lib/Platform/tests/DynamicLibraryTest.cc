#include "Lib/Platform/DynamicLibrary.h"

#include <gtest/gtest.h>

#include <string>

namespace logrum::platform {
namespace {

std::string BuildDir() { return LOGRUM2_BUILD_DIR; }

TEST(DynamicLibraryTest, FindsThePluginInTheLibraryFolderOfTheProgram) {
  // This test program lives in tests/; plug-ins live in ../lib as for any program.
  static int anchor = 0;
  EXPECT_EQ(CodeObjectPath(&anchor), BuildDir() + "/tests/platform_tests");
  EXPECT_EQ(CodeFolder(&anchor), BuildDir() + "/tests");
  std::vector<std::string> folders = LibraryFolders(&anchor);
  ASSERT_EQ(folders.size(), 2u);
  EXPECT_EQ(folders[0], BuildDir() + "/lib");

  DynamicLibrary library;
  std::string error;
  ASSERT_TRUE(library.OpenBeside(&anchor, "logrum_testplugin.so", &error)) << error;
  EXPECT_EQ(library.path(), BuildDir() + "/lib/logrum_testplugin.so");
  auto answer = library.Function<int (*)()>("LogrumTestPluginAnswer", &error);
  ASSERT_NE(answer, nullptr) << error;
  EXPECT_EQ(answer(), 42);

  // From inside the plug-in its own folder comes first.
  EXPECT_EQ(CodeFolder(reinterpret_cast<void*>(answer)), BuildDir() + "/lib");
  EXPECT_EQ(LibraryFolders(reinterpret_cast<void*>(answer)).size(), 1u);

  // Moving the handle moves ownership; the source is left closed.
  DynamicLibrary moved = std::move(library);
  EXPECT_FALSE(library.is_open());
  EXPECT_TRUE(moved.is_open());
  moved.Close();
  EXPECT_FALSE(moved.is_open());
  EXPECT_TRUE(moved.path().empty());
}

TEST(DynamicLibraryTest, ReportsWhatIsMissing) {
  static int anchor = 0;
  DynamicLibrary library;
  std::string error;
  EXPECT_FALSE(library.OpenBeside(&anchor, "nosuchplugin.so", &error));
  EXPECT_NE(error.find(BuildDir() + "/lib/nosuchplugin.so"), std::string::npos) << error;
  EXPECT_NE(error.find(BuildDir() + "/tests/nosuchplugin.so"), std::string::npos) << error;
  EXPECT_FALSE(library.is_open());

  EXPECT_FALSE(library.Open("/nonexistent/x.so", &error));
  EXPECT_NE(error.find("/nonexistent/x.so"), std::string::npos) << error;

  // A file that exists but is no library is an error, not a crash.
  EXPECT_FALSE(library.Open(LOGRUM2_SOURCE_DIR "/Lib/Platform/tests/TestPlugin.cc", &error));
  EXPECT_FALSE(error.empty());

  ASSERT_TRUE(library.OpenBeside(&anchor, "logrum_testplugin.so", &error)) << error;
  EXPECT_EQ(library.Symbol("NoSuchExport", &error), nullptr);
  EXPECT_NE(error.find("NoSuchExport"), std::string::npos) << error;
  // Hidden symbols stay hidden: only the marked entry is exported.
  EXPECT_EQ(library.Symbol("main", nullptr), nullptr);

  DynamicLibrary closed;
  EXPECT_EQ(closed.Symbol("LogrumTestPluginAnswer", &error), nullptr);
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace logrum::platform
