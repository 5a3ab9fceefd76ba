#include "Lib/Diagnostics/DiagLog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "Lib/Platform/DynamicLibrary.h"
#include "tests/support/TempDir.h"

namespace logrum::diag {
namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(TraceLogFileTest, AppendsUnchangedTextBesideTheProgram) {
  const logrum::testing::TempDir temp("diaglog");
  const std::string& dir = temp.path();
  fs::create_directories(dir + "/bin/TraceLog");
  std::ofstream(dir + "/bin/TraceLog/diaglog.log") << "earlier\n";
  {
    TraceLogFile writer(dir + "/bin/recserver");
    ASSERT_TRUE(writer.is_open());
    EXPECT_EQ(writer.path(), dir + "/bin/TraceLog/diaglog.log");
    writer.Write("no break, ");
    writer.Write("100% as given\n");
    writer.Write(nullptr);
    // Flushed after every write: readable before the writer goes.
    EXPECT_EQ(Read(writer.path()), "earlier\nno break, 100% as given\n");
  }
  // A missing TraceLog folder is made.
  TraceLogFile other(dir + "/other/prog");
  EXPECT_FALSE(other.is_open()) << "the program's own folder is not created";
  fs::create_directories(dir + "/other");
  TraceLogFile made(dir + "/other/prog");
  EXPECT_TRUE(made.is_open());
  EXPECT_TRUE(fs::is_directory(dir + "/other/TraceLog"));

  TraceLogFile nowhere("prog");
  EXPECT_FALSE(nowhere.is_open());
  nowhere.Write("nothing happens");
}

TEST(TraceLogFileTest, LibraryExportsTheProcessWideWriter) {
  // The host is this test program, so the file is tests/TraceLog/diaglog.log.
  std::string folder = std::string(LOGRUM2_BUILD_DIR) + "/tests/TraceLog";
  std::string file = folder + "/diaglog.log";
  bool existed = fs::exists(folder);
  size_t before = fs::exists(file) ? fs::file_size(file) : 0;

  platform::DynamicLibrary library;
  platform::Status status = library.Open(std::string(LOGRUM2_BUILD_DIR) + "/lib/" + kDiagLogFile);
  ASSERT_TRUE(status.ok()) << status.message();
  DiagLogEntry entry = nullptr;
  status = library.Function(kDiagLogEntry, &entry);
  ASSERT_TRUE(status.ok()) << status.message();
  TraceLogWriter* writer = entry();
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(entry(), writer);
  std::string text = "diaglog test " + std::to_string(::getpid()) + " %s\t";
  writer->Write(text.c_str());
  library.Close();

  std::string all = Read(file);
  ASSERT_EQ(all.size(), before + text.size());
  EXPECT_EQ(all.substr(before), text);
  if (!existed) fs::remove_all(folder);
}

}  // namespace
}  // namespace logrum::diag
