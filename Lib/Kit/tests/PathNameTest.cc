#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "Lib/Kit/PathName.h"
#include "tests/support/TempDir.h"

namespace logrum::kit {
namespace {

struct PartsCase {
  const char* path;
  const char* root;
  const char* folder;
  const char* name;
  const char* extension;
  const char* directory;
};

TEST(KitPathNameTest, SplitsPathsIntoParts) {
  const PartsCase cases[] = {
      {"//server/share/Archives/A.mp3", "//server/share", "/Archives/", "A", ".mp3",
       "//server/share/Archives/"},
      {"/srv/Archives/A.mp3", "/", "/srv/Archives/", "A", ".mp3", "/srv/Archives/"},
      {"/A.mp3", "/", "/", "A", ".mp3", "/"},
      {"Archives/seg.tar.gz", "", "Archives/", "seg.tar", ".gz", "Archives/"},
      {"name", "", "", "name", "", ""},
      {"/home/user/.profile", "/", "/home/user/", ".profile", "", "/home/user/"},
      {"//server", "", "/", "server", "", "//"},
      {"//server/share", "//server/share", "", "share", "", "//server/"},
      {"/var/log/", "/", "/var/log/", "", "", "/var/log/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const PathName path(c.path);
    EXPECT_STREQ(path.Root().c_str(), c.root);
    EXPECT_STREQ(path.Name().c_str(), c.name);
    EXPECT_STREQ(path.Extension().c_str(), c.extension);
    EXPECT_STREQ(path.Directory().c_str(), c.directory);
    EXPECT_EQ(path.NameExt().str(), std::string(c.name) + c.extension);
    if (std::string(c.path) != "//server" && std::string(c.path) != "//server/share") {
      EXPECT_STREQ(path.Folder().c_str(), c.folder);
    }
  }
}

TEST(KitPathNameTest, HasExtensionIgnoresDotAndCase) {
  const PathName path("/a/b/Seg.mp3");
  EXPECT_TRUE(path.HasExtension(".MP3"));
  EXPECT_TRUE(path.HasExtension("mp3"));
  EXPECT_TRUE(path.HasExtension("Mp3"));
  EXPECT_FALSE(path.HasExtension("mp"));
  EXPECT_FALSE(path.HasExtension("mp3x"));
  EXPECT_FALSE(path.HasExtension("wav"));
  EXPECT_TRUE(PathName("/a/noext").HasExtension(""));
}

TEST(KitPathNameTest, AppendAddsOneSeparator) {
  EXPECT_STREQ(PathName("/srv/Dir/").Append("X").c_str(), "/srv/Dir/X");
  EXPECT_STREQ(PathName("/srv/Dir").Append("X").c_str(), "/srv/Dir/X");
  EXPECT_STREQ(PathName("").Append("X").c_str(), "X");
  EXPECT_STREQ(PathName("/").Append("X").c_str(), "/X");
}

TEST(KitPathNameTest, ReplaceNameStripSeparatorAndMakeFull) {
  PathName path("/srv/a/old.mp3");
  path.ReplaceName(PathName("/other/new.db3"));
  EXPECT_STREQ(path.c_str(), "/srv/a/new.db3");
  EXPECT_STREQ(PathName("/srv/a/").StripSeparator().c_str(), "/srv/a");
  EXPECT_STREQ(PathName("/srv/a").StripSeparator().c_str(), "/srv/a");
  EXPECT_STREQ(PathName("/").StripSeparator().c_str(), "/");

  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  PathName relative("x/../y/z.log");
  ASSERT_TRUE(relative.MakeFull());
  EXPECT_EQ(relative.str(), std::string(cwd) + "/y/z.log");
}

TEST(KitPathNameTest, AssignKeepsAtMost260Characters) {
  const std::string text(300, 'p');
  PathName path;
  path.Assign(text.c_str(), 300);
  EXPECT_EQ(path.Length(), 260u);
  path.Assign(text.c_str(), 0);
  EXPECT_EQ(path.Length(), 260u);
  path.Assign("abcdef", 3);
  EXPECT_STREQ(path.c_str(), "abc");
  path.Assign(nullptr, 0);
  EXPECT_TRUE(path.IsEmpty());
}

class KitPathNameFsTest : public ::testing::Test {
 protected:
  logrum::testing::TempDir temp_{"kit-path"};
  std::string root_ = temp_.path();
};

TEST_F(KitPathNameFsTest, CreateFolderTreeMakesEveryMissingParent) {
  PathName deep(root_ + "/A/B/C");
  EXPECT_FALSE(deep.Exists());
  ASSERT_TRUE(deep.CreateFolderTree());
  EXPECT_TRUE(PathName(root_ + "/A").IsFolder());
  EXPECT_TRUE(PathName(root_ + "/A/B").IsFolder());
  EXPECT_TRUE(deep.IsFolder());
  EXPECT_TRUE(deep.CreateFolderTree());  // already there
  EXPECT_TRUE(PathName(root_ + "/D/E/").CreateFolderTree());
  EXPECT_TRUE(PathName(root_ + "/D/E").IsFolder());

  PathName file(root_ + "/F/G/seg.mp3");
  EXPECT_FALSE(file.ParentIsFolder());
  ASSERT_TRUE(file.CreateParentFolderTree());
  EXPECT_TRUE(file.ParentIsFolder());
  EXPECT_FALSE(file.Exists());
}

TEST_F(KitPathNameFsTest, CreateFolderTreeFailsUnderAFile) {
  const std::string blocker = root_ + "/file";
  std::ofstream(blocker) << "x";
  EXPECT_FALSE(PathName(blocker + "/sub/dir").CreateFolderTree());
  EXPECT_FALSE(PathName(blocker).CreateFolderTree());
}

TEST_F(KitPathNameFsTest, ExistsIsFolderAndDelete) {
  PathName file(root_ + "/a.mp3");
  EXPECT_FALSE(file.Exists());
  EXPECT_FALSE(file.Delete());
  std::ofstream(file.c_str()) << "data";
  EXPECT_TRUE(file.Exists());
  EXPECT_FALSE(file.IsFolder());
  EXPECT_TRUE(PathName(root_.c_str()).IsFolder());
  EXPECT_FALSE(PathName(root_.c_str()).Delete());  // not for folders
  EXPECT_TRUE(file.Delete());
  EXPECT_FALSE(file.Exists());
}

TEST_F(KitPathNameFsTest, ArchiveFlagFollowsBackupAndLaterChanges) {
  PathName file(root_ + "/seg.mp3");
  EXPECT_FALSE(file.ArchiveFlag());  // no file
  EXPECT_FALSE(file.SetArchiveFlag(false));
  std::ofstream(file.c_str()) << "first";
  EXPECT_TRUE(file.ArchiveFlag());  // new files need a backup
  ASSERT_TRUE(file.SetArchiveFlag(false));
  EXPECT_FALSE(file.ArchiveFlag());
  std::ofstream(file.c_str(), std::ios::app) << " and more";
  EXPECT_TRUE(file.ArchiveFlag());  // changed after the backup
  ASSERT_TRUE(file.SetArchiveFlag(false));
  ASSERT_TRUE(file.SetArchiveFlag(true));
  EXPECT_TRUE(file.ArchiveFlag());
}

}  // namespace
}  // namespace logrum::kit
