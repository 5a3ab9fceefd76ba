#include "Lib/Diagnostics/LogFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "Lib/Platform/Clock.h"
#include "tests/support/TempDir.h"

namespace logrum::diag {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kSecond = 1000000;
constexpr int64_t kDay = 86400 * kSecond;
// 2010-03-04 05:06:07 in the zone below (CET, UTC+1).
constexpr int64_t k20100304_050607 = 1267675567;

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void Touch(const std::string& path) { std::ofstream(path) << "old\n"; }

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    clock_.SetUs(k20100304_050607 * kSecond);
  }

  platform::ManualClock clock_;
  platform::ScopedDefaultClock scoped_clock_{clock_};
  logrum::testing::TempDir temp_{"logfile"};
  std::string dir_ = temp_.path();
};

TEST_F(LogFileTest, NamesTheFileAfterPrefixDateAndExtension) {
  struct Case {
    const char* prefix;
    const char* extension;
    const char* name;
  };
  const Case cases[] = {
      {"AR", "log", "AR2010-03-04.log"},
      {"AR", ".txt", "AR2010-03-04.txt"},
      {"AR", nullptr, "AR2010-03-04.log"},
      {nullptr, "", "2010-03-04.log"},
  };
  for (const Case& c : cases) {
    // The folder is made with its missing parents; a trailing '/' is added.
    std::string folder = dir_ + "/a/b";
    LogFile log;
    ASSERT_TRUE(log.Open(c.prefix, c.extension, folder.c_str(), 30)) << c.name;
    EXPECT_EQ(log.folder(), folder + "/");
    EXPECT_EQ(log.path(), folder + "/" + c.name);
    log.Close();
    EXPECT_EQ(Read(folder + "/" + c.name), "2010-03-04 05:06:07: INFO: Open log file\n") << c.name;
    fs::remove_all(dir_ + "/a");
  }
}

TEST_F(LogFileTest, WritesStampedLinesAndRawLines) {
  LogFile log;
  ASSERT_TRUE(log.Open("AR", "log", dir_.c_str(), 30));
  log.Log(2, "Hello");
  clock_.AdvanceUs(3 * kSecond + 999999);  // the stamp shows whole seconds
  log.Log(1, "ERROR: ends with a break\n");
  log.Log(0, "~raw");
  log.Log(0, "~ more raw\n");
  log.Log(3, "");
  log.Close();
  log.Log(2, "after close");  // dropped
  EXPECT_EQ(Read(dir_ + "/AR2010-03-04.log"),
            "2010-03-04 05:06:07: INFO: Open log file\n"
            "2010-03-04 05:06:07: Hello\n"
            "2010-03-04 05:06:10: ERROR: ends with a break\n"
            "raw more raw\n"
            "2010-03-04 05:06:10: \n");

  // Reopening the same day appends.
  ASSERT_TRUE(log.Open("AR", "log", dir_.c_str(), 30));
  log.Log(2, "again");
  EXPECT_NE(Read(dir_ + "/AR2010-03-04.log").find("05:06:10: INFO: Open log file\n"
                                                   "2010-03-04 05:06:10: again\n"),
            std::string::npos);
}

TEST_F(LogFileTest, SwitchesFileAtTheNextLocalMidnight) {
  struct Case {
    int64_t opened;    // seconds since 1970
    int64_t midnight;  // the expected next rotation
    const char* first;
    const char* second;
  };
  const Case cases[] = {
      {1267693200, 1267743600, "AR2010-03-04.log", "AR2010-03-05.log"},  // 10:00 -> 00:00
      {1267740000, 1267743600, "AR2010-03-04.log", "AR2010-03-05.log"},  // 23:00 -> 00:00
      {1269763200, 1269813600, "AR2010-03-28.log", "AR2010-03-29.log"},  // a 23-hour day
      {1288481400, 1288566000, "AR2010-10-31.log", "AR2010-11-01.log"},  // a 25-hour day
  };
  for (const Case& c : cases) {
    clock_.SetUs(c.opened * kSecond);
    LogFile log;
    ASSERT_TRUE(log.Open("AR", "log", dir_.c_str(), 30));
    EXPECT_EQ(log.next_rotation(), c.midnight) << c.first;
    clock_.SetUs((c.midnight - 1) * kSecond);
    log.Log(2, "last of the day");
    clock_.SetUs(c.midnight * kSecond);
    log.Log(2, "first of the next day");
    EXPECT_EQ(log.path(), dir_ + "/" + c.second);
    EXPECT_NE(Read(dir_ + "/" + c.first).find("23:59:59: last of the day\n"), std::string::npos)
        << c.first;
    EXPECT_EQ(Read(dir_ + "/" + c.second).find("00:00:00: INFO: Open log file\n"), 11u) << c.second;
    EXPECT_NE(Read(dir_ + "/" + c.second).find("00:00:00: first of the next day\n"),
              std::string::npos);
    EXPECT_EQ(log.next_rotation(), c.midnight + 86400);
    log.Close();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
}

TEST_F(LogFileTest, CleanupDeletesOnlyOwnFilesOlderThanTheKeepPeriod) {
  // The files below are made now (real time); the process clock is set ahead so
  // that they lie inside or outside the keep period.
  const char* own[] = {"AR2010-01-01.log", "AR2009-12-31.log"};
  const char* others[] = {"ARnotes.log", "BR2010-01-01.log", "AR2010-01-01.txt", "notes.txt"};
  for (const char* name : own) Touch(dir_ + "/" + name);
  for (const char* name : others) Touch(dir_ + "/" + name);
  int64_t real_now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  auto count_own = [&] {
    int n = 0;
    for (const char* name : own) n += fs::exists(dir_ + "/" + name) ? 1 : 0;
    return n;
  };

  LogFile log;
  clock_.SetUs(real_now + 20 * kDay);  // the files are 20 days old: kept
  ASSERT_TRUE(log.Open("AR", "log", dir_.c_str(), 30));
  EXPECT_EQ(count_own(), 2);

  clock_.SetUs(real_now + 400 * kDay);  // no cleanup at all
  ASSERT_TRUE(log.Open("AR", "log", dir_.c_str(), -1));
  EXPECT_EQ(count_own(), 2);

  clock_.SetUs(real_now + 40 * kDay);  // 40 days old: gone
  ASSERT_TRUE(log.Open("AR", "log", dir_.c_str(), 30));
  EXPECT_EQ(count_own(), 0);
  for (const char* name : others) EXPECT_TRUE(fs::exists(dir_ + "/" + name)) << name;
  // The files this log wrote itself a moment ago (real time) are as "old", but
  // the one in use stays.
  EXPECT_TRUE(fs::exists(log.path()));

  // With the shortest keep period (0 counts as one day) the file of the last
  // open goes as soon as the log is opened on a later day.
  std::string yesterday = log.path();
  clock_.SetUs(real_now + 400 * kDay);
  ASSERT_TRUE(log.Open("AR", "log", dir_.c_str(), 0));
  EXPECT_FALSE(fs::exists(yesterday));
  EXPECT_TRUE(fs::exists(log.path()));
}

TEST_F(LogFileTest, OpenFailsWhereNoFileCanBeMade) {
  Touch(dir_ + "/file");
  LogFile log;
  std::string below_a_file = dir_ + "/file/logs";
  EXPECT_FALSE(log.Open("AR", "log", below_a_file.c_str(), 30));
  EXPECT_EQ(log.path(), below_a_file + "/AR2010-03-04.log");
  EXPECT_FALSE(log.is_open());
  log.Log(2, "dropped");
  clock_.AdvanceUs(2 * kDay);
  log.Log(2, "dropped");  // a failed open does not come back by itself
  EXPECT_FALSE(log.is_open());
  EXPECT_FALSE(log.Open("AR", "log", "", 30));

  ASSERT_TRUE(log.Open("AR", "log", dir_.c_str(), 30));
  EXPECT_TRUE(log.is_open());
}

TEST_F(LogFileTest, RotationThatFailsIsRetriedAMinuteLater) {
  std::string folder = dir_ + "/logs";
  LogFile log;
  ASSERT_TRUE(log.Open("AR", "log", folder.c_str(), 30));
  // At midnight the folder is a file: nothing can be opened.
  fs::remove_all(folder);
  Touch(folder);
  clock_.SetUs(1267743600 * kSecond);
  log.Log(2, "lost");
  EXPECT_FALSE(log.is_open());
  EXPECT_EQ(log.next_rotation(), 1267743600 + 60);
  fs::remove(folder);
  clock_.AdvanceUs(30 * kSecond);
  log.Log(2, "lost too");  // too early to retry
  EXPECT_FALSE(log.is_open());
  clock_.AdvanceUs(30 * kSecond);
  log.Log(2, "kept");
  ASSERT_TRUE(log.is_open());
  EXPECT_EQ(Read(folder + "/AR2010-03-05.log"),
            "2010-03-05 00:01:00: INFO: Open log file\n"
            "2010-03-05 00:01:00: kept\n");
  EXPECT_EQ(log.next_rotation(), 1267743600 + 86400);
}

TEST_F(LogFileTest, StdoutPrefixWritesToStandardOutput) {
  LogFile log;
  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(log.Open("stdout", "log", nullptr, 30));
  log.Log(2, "to the console");
  log.Close();  // leaves standard output open
  std::fputs("still open\n", stdout);
  std::fflush(stdout);
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "2010-03-04 05:06:07: INFO: Open log file\n"
            "2010-03-04 05:06:07: to the console\n"
            "still open\n");
  EXPECT_EQ(log.path(), "stdout");
  EXPECT_EQ(log.next_rotation(), 0);
}

}  // namespace
}  // namespace logrum::diag
