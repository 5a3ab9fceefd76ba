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
  Status status = library.OpenBeside(&anchor, "logrum_testplugin.so");
  ASSERT_TRUE(status.ok()) << status.message();
  EXPECT_EQ(library.path(), BuildDir() + "/lib/logrum_testplugin.so");
  int (*answer)() = nullptr;
  status = library.Function("LogrumTestPluginAnswer", &answer);
  ASSERT_TRUE(status.ok()) << status.message();
  ASSERT_NE(answer, nullptr);
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
  Status status = library.OpenBeside(&anchor, "nosuchplugin.so");
  EXPECT_TRUE(status.IsNotFound()) << status.message();
  EXPECT_NE(status.message().find(BuildDir() + "/lib/nosuchplugin.so"), std::string::npos)
      << status.message();
  EXPECT_NE(status.message().find(BuildDir() + "/tests/nosuchplugin.so"), std::string::npos)
      << status.message();
  EXPECT_FALSE(library.is_open());

  status = library.Open("/nonexistent/x.so");
  EXPECT_TRUE(status.IsNotFound()) << status.message();
  EXPECT_NE(status.message().find("/nonexistent/x.so"), std::string::npos) << status.message();

  // A file that exists but is no library is an error, not a crash.
  status = library.Open(LOGRUM2_SOURCE_DIR "/Lib/Platform/tests/TestPlugin.cc");
  EXPECT_EQ(status.code(), Status::kCorrupt) << status.message();
  EXPECT_FALSE(status.message().empty());

  status = library.OpenBeside(&anchor, "logrum_testplugin.so");
  ASSERT_TRUE(status.ok()) << status.message();
  void* address = &anchor;
  status = library.Symbol("NoSuchExport", &address);
  EXPECT_EQ(address, nullptr);
  EXPECT_NE(status.message().find("NoSuchExport"), std::string::npos) << status.message();
  // Hidden symbols stay hidden: only the marked entry is exported.
  EXPECT_EQ(library.OptionalFunction<int (*)()>("main"), nullptr);
  EXPECT_NE(library.OptionalFunction<int (*)()>("LogrumTestPluginAnswer"), nullptr);

  DynamicLibrary closed;
  int (*answer)() = nullptr;
  status = closed.Function("LogrumTestPluginAnswer", &answer);
  EXPECT_EQ(answer, nullptr);
  EXPECT_FALSE(status.ok());
  EXPECT_FALSE(status.message().empty());
}

}  // namespace
}  // namespace logrum::platform
