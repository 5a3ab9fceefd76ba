#include "App/Server/UserRecord.h"

#include <gtest/gtest.h>

#include "App/Server/ArchiveList.h"
#include "App/Server/tests/ConfigFixture.h"
#include "Lib/ArchiveManager/Protocol/PasswordDigest.h"

namespace logrum::server {
namespace {

class UserRecordTest : public ConfigFixture {
 protected:
  void PutUser(const std::string& key_name, const std::string& user_name) {
    PutString(UserKeyPath(key_name), "UserName", user_name);
    PutString(UserKeyPath(key_name), "FullName", "Full " + user_name);
    PutString(UserKeyPath(key_name), "Password", "digest");
    PutInt(UserKeyPath(key_name), "Check", 6 ^ 0xA5);
    PutInt(UserRightsKeyPath(key_name), "News", 3);
  }
};

TEST_F(UserRecordTest, FreshStoreCreatesTheUsersKey) {
  UserList users(store_.get(), &sink_);
  users.Load();
  EXPECT_EQ(users.size(), 0u);
  EXPECT_TRUE(KeyExists(UsersKeyPath()));
  EXPECT_TRUE(sink_.numbers.empty());
}

TEST_F(UserRecordTest, AUserWhoseNameDiffersFromItsKeyIsNotListed) {
  PutUser("anna", "ANNA");      // case differs only: fine
  PutUser("bob", "robert");     // differs: message 104
  PutString(UserKeyPath("carl"), "FullName", "no UserName");  // missing: 104
  UserList users(store_.get(), &sink_);
  users.Load();
  ASSERT_EQ(users.size(), 1u);
  UserRecord* anna = users.Find("Anna");
  ASSERT_NE(anna, nullptr);
  EXPECT_EQ(anna->full_name(), "Full ANNA");
  EXPECT_EQ(anna->password_length(), 6);
  EXPECT_EQ(anna->max_connections(), 1);  // default
  EXPECT_EQ(anna->Rights("NEWS"), 3);
  EXPECT_EQ(sink_.numbers, (std::vector<int>{104, 104}));
  EXPECT_EQ(sink_.texts[0],
            "Configuration error! Unable to read all user information from registry. Please check "
            "all user data.");
}

TEST_F(UserRecordTest, PasswordDigestIgnoresLetterCaseAndIsSavedWithItsCheck) {
  UserRecord user(store_.get(), &sink_);
  user.SetNameAndPassword("Anna", "Secret");
  UserRecord other(store_.get(), &sink_);
  other.SetNameAndPassword("ANNA", "sECRET");
  EXPECT_EQ(user.digest(), other.digest());
  EXPECT_EQ(user.digest().size(), 27u);
  EXPECT_EQ(user.digest(), protocol::PasswordDigestText("anna", "secret"));
  other.SetNameAndPassword("Anna", "Secret!");
  EXPECT_NE(user.digest(), other.digest());
  other.SetNameAndPassword("Anna", nullptr);  // name only: the digest stays
  EXPECT_NE(user.digest(), "");

  user.set_full_name("Anna A.");
  user.set_max_connections(4);
  ASSERT_TRUE(user.Save());
  EXPECT_EQ(Get(UserKeyPath("Anna"), "Password"), Sz(user.digest()));
  EXPECT_EQ(Get(UserKeyPath("Anna"), "Check"), Dword(6 ^ 0xA5));
  EXPECT_EQ(Get(UserKeyPath("Anna"), "MaxConnections"), Dword(4));
  EXPECT_TRUE(KeyExists(UserRightsKeyPath("Anna")));

  UserRecord loaded(store_.get(), &sink_);
  ASSERT_TRUE(loaded.Load("anna"));
  EXPECT_EQ(loaded.digest(), user.digest());
  EXPECT_EQ(loaded.password_length(), 6);
  EXPECT_EQ(loaded.max_connections(), 4);
}

TEST_F(UserRecordTest, RightsArePrunedToTheArchivesAndGrantedToAll) {
  for (const char* name : {"News", "Sport"}) PutString(ArchiveKeyPath(name), "SourceName", "x");
  PutUser("anna", "anna");
  PutInt(UserRightsKeyPath("anna"), "Deleted Archive", 1);
  PutInt(UserRightsKeyPath("anna"), "news", 1);  // the same archive as "News"
  ArchiveList archives(store_.get(), &sink_);
  archives.Load();
  UserList users(store_.get(), &sink_);
  users.Load();
  UserRecord* anna = users.Find("anna");
  ASSERT_NE(anna, nullptr);

  anna->PruneRights(archives);
  EXPECT_EQ(anna->RightsCount(), 2u);
  EXPECT_EQ(anna->Rights("News"), 1);
  EXPECT_EQ(anna->Rights("Sport"), 0);
  EXPECT_EQ(anna->Rights("Deleted Archive"), -1);

  users.GrantToAll("Weather");
  EXPECT_EQ(Get(UserRightsKeyPath("anna"), "Weather"), Dword(3));
  EXPECT_EQ(Get(UserRightsKeyPath("anna"), "Deleted Archive"), "<missing>");  // saved pruned
  anna->SetAllRights(2);
  EXPECT_EQ(anna->Rights("Sport"), 2);
  EXPECT_EQ(anna->Rights("Weather"), 2);

  ASSERT_TRUE(users.Remove("ANNA"));
  EXPECT_EQ(users.size(), 0u);
  EXPECT_FALSE(KeyExists(UserKeyPath("anna")));
  EXPECT_TRUE(sink_.numbers.empty());
}

}  // namespace
}  // namespace logrum::server
