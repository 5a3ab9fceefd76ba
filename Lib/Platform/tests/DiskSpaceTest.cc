// The free space of a real folder's disk, and the archive attribute on a real
// file (xattr on this file system).
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Lib/Platform/ArchiveAttribute.h"
#include "Lib/Platform/DiskSpace.h"
#include "tests/support/TempDir.h"

namespace logrum::platform {
namespace {

using logrum::testing::TempDir;

TEST(DiskSpaceTest, FreeBytesOfTheFolderAndAClearFailure) {
  TempDir dir;
  uint64_t bytes = 0;
  ASSERT_TRUE(RealDiskSpace().FreeBytes(dir.path(), &bytes));
  struct statvfs info {};
  ASSERT_EQ(::statvfs(dir.path().c_str(), &info), 0);
  const uint64_t expected = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
  // Other processes write meanwhile: within 64 MiB.
  EXPECT_NEAR(static_cast<double>(bytes), static_cast<double>(expected), 64.0 * 1024 * 1024);
  uint64_t untouched = 7;
  EXPECT_FALSE(RealDiskSpace().FreeBytes(dir.path() + "/missing", &untouched));
  EXPECT_EQ(untouched, 7u);
}

TEST(ArchiveAttributeTest, NewAndChangedFilesCarryItUntilBackedUp) {
  TempDir dir;
  const std::string file = dir.path() + "/2026.01.10-10.00.00-S.mp3";
  EXPECT_FALSE(HasArchiveAttribute(file));  // no file
  { std::ofstream(file) << "audio"; }
  EXPECT_TRUE(HasArchiveAttribute(file));
  ASSERT_TRUE(ClearArchiveAttribute(file));
  EXPECT_FALSE(HasArchiveAttribute(file));
  { std::ofstream(file, std::ios::app) << "more"; }  // changed after the backup
  EXPECT_TRUE(HasArchiveAttribute(file));
  ASSERT_TRUE(ClearArchiveAttribute(file));
  EXPECT_TRUE(SetArchiveAttribute(file));
  EXPECT_TRUE(HasArchiveAttribute(file));
}

}  // namespace
}  // namespace logrum::platform
