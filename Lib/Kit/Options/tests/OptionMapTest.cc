#include "Lib/Kit/Options/OptionMap.h"

#include <gtest/gtest.h>

#include <utility>

namespace logrum::kit {
namespace {

std::vector<std::string> Names(const OptionMap& map) {
  std::vector<std::string> names;
  map.ForEach([&](const std::string& name, const OptionValue&) { names.push_back(name); });
  return names;
}

TEST(OptionMapTest, FoldsAToZKeepsFirstSpellingAndEnumeratesInFoldedOrder) {
  OptionMap map;
  for (const char* name : {"Zeta", "ServerPort", "server", "ARCHIVE1", "Archive10", "_x", "a", ""}) {
    ASSERT_NE(map.Insert(name), nullptr) << name;
  }
  ASSERT_NE(map.Insert("serverport"), nullptr);  // the same name: no new entry
  EXPECT_EQ(map.size(), 8u);
  // "_" (0x5f) sorts before the letters once they are folded to lower case;
  // names sharing a prefix share its first spelling ("a" is spelled by ARCHIVE1).
  EXPECT_EQ(Names(map), (std::vector<std::string>{"", "_x", "A", "ARCHIVE1", "ARCHIVE10", "Server",
                                                  "ServerPort", "Zeta"}));
  EXPECT_NE(map.Find("archive1"), nullptr);
  EXPECT_NE(map.Find("zETA"), nullptr);
  EXPECT_EQ(map.Find("archive"), nullptr);   // a prefix only
  EXPECT_EQ(map.Find("archive100"), nullptr);
  EXPECT_EQ(map.Find(std::string(OptionMap::kMaxName + 1, 'a')), nullptr);

  // Only A-Z fold.
  ASSERT_NE(map.Insert("\xc3\x84"), nullptr);
  EXPECT_EQ(map.Find("\xc3\xa4"), nullptr);

  OptionMap exact(true);
  exact.Insert("Name");
  EXPECT_EQ(exact.Find("name"), nullptr);
  EXPECT_NE(exact.Find("Name"), nullptr);
}

TEST(OptionMapTest, OrderIsAscendingFoldedBytesWithANameBeforeItsExtensions) {
  OptionMap map;
  for (const char* name : {"b", "B2", "a1", "A", "\xc3\x84", "a10", "a2"}) map.Insert(name);
  EXPECT_EQ(Names(map), (std::vector<std::string>{"a", "a1", "a10", "a2", "b", "b2", "\xc3\x84"}));
}

TEST(OptionMapTest, PrefixLookupFollowsTheFirstChildAndItsUniqueFormRefusesSharedPaths) {
  OptionMap map;
  for (const char* name : {"Device", "Dev1ce", "Alpha", "Alphabet", "Omega7", "OmegaX9", "Solo"}) {
    map.Insert(name)->SetInteger(static_cast<int32_t>(map.size()));
  }
  struct Case {
    const char* prefix;
    bool unique;
    const char* found;  // null: fails
  } cases[] = {
      {"Alpha", true, "Alpha"},       // an exact hit, even with extensions
      {"Alph", false, "Alpha"},       // first name down the first-child chain
      {"Alph", true, nullptr},        // the name found has a child (Alphabet)
      {"Dev", false, "Dev1ce"},       // '1' sorts before 'i'
      {"Dev", true, nullptr},         // a sibling on the chain
      {"Omega", false, "Omega7"},
      {"Omega", true, nullptr},
      {"S", true, "Solo"},
      {"so", true, "Solo"},
      {"Q", false, nullptr},
      {"Solo2", false, nullptr},
  };
  for (const Case& c : cases) {
    std::string full;
    OptionValue* value = map.FindPrefix(c.prefix, c.unique, &full);
    if (c.found == nullptr) {
      EXPECT_EQ(value, nullptr) << c.prefix << (c.unique ? " unique" : "");
    } else {
      ASSERT_NE(value, nullptr) << c.prefix << (c.unique ? " unique" : "");
      EXPECT_EQ(full, c.found);
      EXPECT_EQ(value, map.Find(c.found));
    }
  }
}

TEST(OptionMapTest, RemoveDropsUnusedNodesSoANameCanComeBackInAnotherSpelling) {
  OptionMap map;
  map.Insert("Archive")->SetInteger(1);
  map.Insert("ArchiveRights")->SetInteger(2);
  EXPECT_TRUE(map.Remove("ARCHIVERIGHTS"));
  EXPECT_FALSE(map.Remove("ArchiveRights"));
  EXPECT_FALSE(map.Remove("Arch"));
  EXPECT_EQ(map.Find("Archive")->integer(), 1);
  EXPECT_TRUE(map.Remove("archive"));
  EXPECT_EQ(map.size(), 0u);
  map.Insert("aRCHIVE");
  EXPECT_EQ(Names(map), std::vector<std::string>{"aRCHIVE"});
  // Names far longer than any fixed enumeration depth still enumerate.
  std::string longer(300, 'x');
  map.Insert(longer)->SetInteger(3);
  EXPECT_EQ(Names(map).back(), longer);
}

struct Counted : OptionObject {
  explicit Counted(int* alive) : alive(alive) { ++*alive; }
  ~Counted() override { --*alive; }
  int* alive;
};

TEST(OptionMapTest, SettingAValueReleasesWhatItHeld) {
  int alive = 0;
  {
    OptionMap map;
    OptionValue* value = map.Insert("v");
    value->SetObject(new Counted(&alive), true);
    EXPECT_EQ(alive, 1);
    value->SetString(std::string_view("text\0tail", 9));
    EXPECT_EQ(alive, 0);
    EXPECT_EQ(value->bytes(), "text");
    EXPECT_EQ(value->length(), 5u);  // counts the NUL
    value->SetString(value->bytes());  // from its own bytes
    EXPECT_EQ(value->bytes(), "text");

    Counted kept(&alive);
    value->SetObject(&kept, false);
    value->SetInteger(7);
    EXPECT_EQ(alive, 1);  // not owned: not deleted
    map.Insert("owned")->SetObject(new Counted(&alive), true);
    EXPECT_EQ(alive, 2);
  }
  EXPECT_EQ(alive, 0);  // the map's destruction deletes what it owns
}

}  // namespace
}  // namespace logrum::kit
