#include "Lib/AudioSource/NameTree.h"

#include <gtest/gtest.h>

namespace logrum::audio {
namespace {

TEST(NameTreeTest, MapsNamesExactlyOrFolded) {
  struct Case {
    bool fold;
    const char* stored;
    const char* looked_up;
    bool found;
  } cases[] = {
      {false, "Left", "Left", true},  {false, "Left", "left", false},
      {true, "Left", "left", true},   {true, "LEFT", "lEfT", true},
      {false, "Left", "Lef", false},  {false, "Left", "Lefty", false},
      {false, "a b", "a b", true},    {true, "\xC4rger", "\xE4rger", false},  // only A-Z fold
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.stored) + " / " + c.looked_up);
    NameTree tree(c.fold);
    tree.Insert(c.stored, 7);
    uint32_t value = 0;
    EXPECT_EQ(tree.Find(c.looked_up, &value), c.found);
    if (c.found) {
      EXPECT_EQ(value, 7u);
    }
  }
}

TEST(NameTreeTest, InsertReplacesAndRemoveKeepsLongerAndShorterNames) {
  NameTree tree(false);
  for (const char* name : {"studio", "stud", "studios", "b", "a", "c"}) tree.Insert(name, 1);
  tree.Insert("stud", 2);  // replaces
  uint32_t v = 0;
  ASSERT_TRUE(tree.Find("stud", &v));
  EXPECT_EQ(v, 2u);

  EXPECT_TRUE(tree.Remove("studio"));  // has a child: only unmarked
  EXPECT_FALSE(tree.Find("studio", &v));
  EXPECT_TRUE(tree.Find("studios", &v));
  EXPECT_TRUE(tree.Find("stud", &v));
  EXPECT_TRUE(tree.Remove("studios"));  // a leaf: unlinked
  EXPECT_FALSE(tree.Find("studios", &v));
  EXPECT_TRUE(tree.Find("stud", &v));
  EXPECT_FALSE(tree.Remove("studios"));
  EXPECT_FALSE(tree.Remove("st"));  // a path, not a name
  EXPECT_TRUE(tree.Remove("b"));    // a middle sibling
  EXPECT_TRUE(tree.Find("a", &v));
  EXPECT_TRUE(tree.Find("c", &v));
  EXPECT_FALSE(tree.Find("", &v));
}

TEST(NameTreeTest, FreedNodesAreReusedAndClearEmptiesTheMap) {
  NameTree tree(false);
  tree.Insert("abcdefghij", 1);
  size_t allocated = tree.allocated_nodes();
  for (int i = 0; i < 100; ++i) {
    tree.Insert("x", 1);
    ASSERT_TRUE(tree.Remove("x"));
  }
  EXPECT_EQ(tree.allocated_nodes(), allocated);
  tree.Clear();
  uint32_t v;
  EXPECT_FALSE(tree.Find("abcdefghij", &v));
  EXPECT_EQ(tree.allocated_nodes(), 0u);
  tree.Insert("again", 3);
  EXPECT_TRUE(tree.Find("again", &v));
}

}  // namespace
}  // namespace logrum::audio
