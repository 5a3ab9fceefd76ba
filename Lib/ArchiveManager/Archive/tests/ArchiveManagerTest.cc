#include "Lib/ArchiveManager/Archive/ArchiveManager.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Lib/ArchiveManager/Archive/ArchiveP.h"

namespace logrum::archive {
namespace {

std::vector<std::string> Names(ArchiveManager& manager) {
  std::vector<std::string> names;
  manager.EnumArchives(
      [](const char* name, IArchive* archive, void* context) {
        auto* out = static_cast<std::vector<std::string>*>(context);
        out->push_back(name);
        EXPECT_EQ(CArchiveP::FromInterface(archive)->GetName(), name);
      },
      &names);
  return names;
}

TEST(ArchiveManagerTest, NamesAreUniqueExactAndEnumeratedInOrder) {
  ArchiveManager manager;
  EXPECT_TRUE(Names(manager).empty());
  IArchive* b = manager.CreateArchive("Studio B");
  IArchive* a = manager.CreateArchive("Studio A");
  IArchive* lower = manager.CreateArchive("studio a");
  IArchive* prefix = manager.CreateArchive("Studio");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(lower, nullptr);
  ASSERT_NE(prefix, nullptr);
  EXPECT_NE(a, lower);
  EXPECT_EQ(manager.CreateArchive("Studio A"), nullptr);
  EXPECT_EQ(manager.CreateArchive(""), nullptr);
  EXPECT_EQ(manager.CreateArchive(nullptr), nullptr);
  EXPECT_EQ(manager.FindArchive("Studio A"), a);
  EXPECT_EQ(manager.FindArchive("studio a"), lower);
  EXPECT_EQ(manager.FindArchive("Studio "), nullptr);
  EXPECT_EQ(manager.FindArchive("Studio A2"), nullptr);
  EXPECT_EQ(manager.FindArchive(""), nullptr);
  EXPECT_EQ(Names(manager),
            (std::vector<std::string>{"Studio", "Studio A", "Studio B", "studio a"}));

  // Deleting a longer name keeps its prefix, and the other way round.
  a->Release();
  EXPECT_EQ(manager.FindArchive("Studio A"), nullptr);
  EXPECT_EQ(manager.FindArchive("Studio"), prefix);
  prefix->Release();
  EXPECT_EQ(manager.FindArchive("Studio B"), b);
  EXPECT_EQ(Names(manager), (std::vector<std::string>{"Studio B", "studio a"}));
  // A name can be used again after its archive is gone.
  IArchive* again = manager.CreateArchive("Studio A");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(Names(manager), (std::vector<std::string>{"Studio A", "Studio B", "studio a"}));
}

TEST(ArchiveManagerTest, LongNamesAndSignedCharacterOrder) {
  ArchiveManager manager;
  std::string long_name(300, 'x');
  ASSERT_NE(manager.CreateArchive(long_name.c_str()), nullptr);
  EXPECT_NE(manager.FindArchive(long_name.c_str()), nullptr);
  std::string too_long(70000, 'y');
  EXPECT_EQ(manager.FindArchive(too_long.c_str()), nullptr);
  ASSERT_NE(manager.CreateArchive("\xC3\xA9t\xC3\xA9"), nullptr);  // bytes above 127 sort first
  ASSERT_NE(manager.CreateArchive("A"), nullptr);
  ASSERT_NE(manager.CreateArchive(std::string(128, 'z').c_str()), nullptr);
  // The walk descends at most 128 levels: a longer name is not enumerated.
  EXPECT_EQ(Names(manager), (std::vector<std::string>{"\xC3\xA9t\xC3\xA9", "A",
                                                      std::string(128, 'z')}));
}

}  // namespace
}  // namespace logrum::archive
