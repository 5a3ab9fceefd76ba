#include "Lib/Platform/ArchiveAttribute.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <filesystem>
#include <fstream>

#include "tests/support/TempDir.h"

namespace logrum::platform {
namespace {

namespace fs = std::filesystem;

class ArchiveAttributeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = folder_ + "/2010.03.04-05.06.07-S.mp3";
    Write("first");
  }
  void Write(const char* text) {
    std::ofstream out(file_, std::ios::binary | std::ios::app);
    out << text;
  }
  logrum::testing::TempDir temp_{"attr"};
  std::string folder_ = temp_.path(), file_;
};

TEST_F(ArchiveAttributeTest, NewFileIsFlaggedUntilClearedAndAgainWhenWritten) {
  EXPECT_TRUE(HasArchiveAttribute(file_));
  ASSERT_TRUE(ClearArchiveAttribute(file_));
  EXPECT_FALSE(HasArchiveAttribute(file_));

  // Written after its backup: the record no longer matches.
  Write("more");
  EXPECT_TRUE(HasArchiveAttribute(file_));
  ASSERT_TRUE(ClearArchiveAttribute(file_));
  EXPECT_FALSE(HasArchiveAttribute(file_));

  // A changed modification time alone flags it too (a file put back by hand).
  struct timespec times[2] = {{0, UTIME_OMIT}, {1234567, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file_.c_str(), times, 0), 0);
  EXPECT_TRUE(HasArchiveAttribute(file_));

  ASSERT_TRUE(ClearArchiveAttribute(file_));
  ASSERT_TRUE(SetArchiveAttribute(file_));
  EXPECT_TRUE(HasArchiveAttribute(file_));
  EXPECT_TRUE(SetArchiveAttribute(file_));  // already flagged: fine
}

TEST_F(ArchiveAttributeTest, MissingFileHasNothingAndCannotBeCleared) {
  const std::string missing = folder_ + "/none.mp3";
  EXPECT_FALSE(HasArchiveAttribute(missing));
  EXPECT_FALSE(ClearArchiveAttribute(missing));
  EXPECT_FALSE(SetArchiveAttribute(missing));
  EXPECT_FALSE(HasArchiveAttribute(""));
}

TEST_F(ArchiveAttributeTest, RecordIsTheUserAttributeWithSizeAndTime) {
  ASSERT_TRUE(ClearArchiveAttribute(file_));
  char value[64] = {};
  ASSERT_GT(::getxattr(file_.c_str(), "user.logrum2.backup", value, sizeof value - 1), 0);
  EXPECT_EQ(std::string(value).substr(0, 2), "5:");  // "first" is 5 bytes
}

}  // namespace
}  // namespace logrum::platform
