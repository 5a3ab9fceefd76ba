#include "Lib/Kit/Options/OptionsReg.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "Lib/Kit/Options/RegistryKey.h"
#include "tests/support/TempDir.h"

namespace logrum::kit {
namespace {

namespace fs = std::filesystem;
using platform::kRegBinary;
using platform::kRegDword;
using platform::kRegString;
using platform::Registry;
using platform::RegRoot;
using platform::RegValue;

constexpr RegRoot kLM = RegRoot::kLocalMachine;
constexpr RegRoot kCU = RegRoot::kCurrentUser;
constexpr char kUsers[] = "Software\\Norvane Systems\\Logrum2\\Users";

std::string Dword(uint32_t v) {
  return std::string{static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff),
                     static_cast<char>((v >> 16) & 0xff), static_cast<char>(v >> 24)};
}

class OptionsRegTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (dir_ / "registry.db3").string();
    ASSERT_TRUE(Registry::Open(path_, &store_).ok());
  }
  void TearDown() override { store_.reset(); }

  void Put(RegRoot root, const std::string& key, const std::string& name, uint32_t type,
           const std::string& data) {
    ASSERT_TRUE(store_->CreateKey(root, key, "").ok());
    ASSERT_TRUE(store_->SetValue(root, key, name, type, data).ok());
  }
  std::vector<RegValue> Values(const std::string& key) {
    std::vector<RegValue> values;
    EXPECT_TRUE(store_->ListValues(kLM, key, &values).ok());
    return values;
  }

  logrum::testing::TempDir temp_{"options"};
  fs::path dir_ = temp_.path();
  std::string path_;
  std::unique_ptr<Registry> store_;
};

TEST_F(OptionsRegTest, ReadTakesStringsDwordsAndBinariesAndSkipsOtherTypes) {
  const std::string key = "Software\\Norvane Systems\\Logrum2\\Users\\ann\\ArchiveRights";
  Put(kLM, key, "Archive1", kRegDword, Dword(3));
  Put(kLM, key, "Note", kRegString, std::string("hello\0junk", 10));
  Put(kLM, key, "Blob", kRegBinary, std::string("\x01\x00\x02", 3));
  Put(kLM, key, "Multi", 7, std::string("a\0\0", 3));
  Put(kLM, key, "Negative", kRegDword, Dword(0xfffffffe));

  OptionsReg options(false, store_.get());
  options.SetInteger("ARCHIVE1", 0);  // registered default, replaced by what the key holds
  options.SetInteger("Registered", 9);
  platform::Status status = options.Read(key);
  ASSERT_TRUE(status.ok()) << status.message();
  EXPECT_EQ(options.GetInteger("ARCHIVE1"), 3);
  EXPECT_EQ(options.GetInteger("archive1"), 3);
  EXPECT_EQ(options.GetInteger("Registered"), 9);
  EXPECT_EQ(options.GetInteger("Negative"), -2);
  EXPECT_STREQ(options.GetString("note"), "hello");
  ASSERT_NE(options.GetBinary("BLOB"), nullptr);
  EXPECT_EQ(*options.GetBinary("BLOB"), std::string("\x01\x00\x02", 3));
  EXPECT_FALSE(options.Has("Multi"));
  // Wrong-type and missing lookups.
  EXPECT_EQ(options.GetInteger("Note"), -1);
  EXPECT_EQ(options.GetInteger("Missing"), -1);
  EXPECT_EQ(options.GetString("Archive1"), nullptr);
  EXPECT_EQ(options.GetBinary("Note"), nullptr);

  // A missing key reports failure and leaves the map as it was.
  status = options.Read("Software\\Nowhere");
  EXPECT_TRUE(status.IsNotFound()) << status.message();
  EXPECT_NE(status.message().find("Nowhere"), std::string::npos) << status.message();
  EXPECT_EQ(options.GetInteger("Archive1"), 3);

  // The current-user root is a separate tree.
  OptionsReg user(true, store_.get());
  EXPECT_FALSE(user.Read(key).ok());
}

TEST_F(OptionsRegTest, SaveMakesTheKeyHoldExactlyTheMapInItsOwnOrderAndTypes) {
  const std::string key = "Software\\Norvane Systems\\Logrum2\\Archives\\News";
  Put(kLM, key, "Stale", kRegDword, Dword(1));
  Put(kLM, key, "SOURCENAME", kRegString, std::string("old\0", 4));
  Put(kLM, key, "Opaque", 7, std::string("x\0\0", 3));

  OptionsReg options(false, store_.get());
  options.SetString("SourceName", "Mic 1");
  options.SetInteger("MaxDays", -1);
  options.SetBinary("Data001", std::string("\x00\x01", 2));
  options.SetString("", "default value");
  const platform::Status status = options.Save(key);
  ASSERT_TRUE(status.ok()) << status.message();

  std::vector<RegValue> values = Values(key);
  ASSERT_EQ(values.size(), 4u);
  // The surviving value keeps its place and spelling; new ones follow in map order.
  EXPECT_EQ(values[0].name, "SOURCENAME");
  EXPECT_EQ(values[0].type, kRegString);
  EXPECT_EQ(values[0].data, std::string("Mic 1\0", 6));
  EXPECT_EQ(values[1].name, "");
  EXPECT_EQ(values[2].name, "Data001");
  EXPECT_EQ(values[2].type, kRegBinary);
  EXPECT_EQ(values[2].data, std::string("\x00\x01", 2));
  EXPECT_EQ(values[3].name, "MaxDays");
  EXPECT_EQ(values[3].type, kRegDword);
  EXPECT_EQ(values[3].data, "\xff\xff\xff\xff");

  // A key that Save creates, and its new parents, get the class "cls?".
  ASSERT_TRUE(options.Save("Software\\New\\Key").ok());
  for (const char* made : {"Software\\New", "Software\\New\\Key"}) {
    platform::RegKeyInfo info;
    ASSERT_TRUE(store_->GetKeyInfo(kLM, made, &info).ok());
    EXPECT_EQ(info.class_name, "cls?");
  }

  // Read back into a fresh map: the same entries.
  OptionsReg again(false, store_.get());
  ASSERT_TRUE(again.Read(key).ok());
  EXPECT_EQ(again.map().size(), 4u);
  EXPECT_EQ(again.GetInteger("maxdays"), -1);
  EXPECT_STREQ(again.GetString(""), "default value");
}

TEST_F(OptionsRegTest, SaveWritesNothingWhenTheStoreRefusesOneValue) {
  const std::string key = "Software\\K";
  Put(kLM, key, "Keep", kRegDword, Dword(1));
  OptionsReg options(false, store_.get());
  options.SetInteger("New", 2);
  options.SetInteger(std::string(20000, 'n'), 3);  // longer than a store name may be
  platform::Status status = options.Save(key);
  EXPECT_FALSE(status.ok());
  EXPECT_FALSE(status.message().empty());
  std::vector<RegValue> values = Values(key);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "Keep");

  // An entry with no storable type fails the save but costs the others nothing.
  int alive = 0;
  struct Obj : OptionObject {
    explicit Obj(int* n) : n(n) { ++*n; }
    ~Obj() override { --*n; }
    int* n;
  };
  OptionsReg with_object(false, store_.get());
  with_object.SetInteger("Keep", 5);
  with_object.SetObject("Object", new Obj(&alive), true);
  status = with_object.Save(key);
  EXPECT_EQ(status.code(), platform::Status::kInvalidArgument) << status.message();
  EXPECT_NE(status.message().find("'Object'"), std::string::npos) << status.message();
  values = Values(key);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].data, Dword(5));
}

// A process killed at any moment of a Save leaves the whole old key or the whole new one.
TEST_F(OptionsRegTest, ASaveKilledHalfwayLeavesTheOldKey) {
  const std::string key = "Software\\Norvane Systems\\Logrum2\\Server";
  OptionsReg before(false, store_.get());
  for (int i = 0; i < 10; ++i) before.SetInteger("Old" + std::to_string(i), i);
  ASSERT_TRUE(before.Save(key).ok());

  // 10 deletions, then the key (already there), then 10 writes.
  for (int kill_at : {1, 5, 10, 11, 15, 20}) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::unique_ptr<Registry> own;
      if (!Registry::Open(path_, &own).ok()) _exit(1);
      own->SetWriteHookForTesting([kill_at](int writes) {
        if (writes == kill_at) kill(getpid(), SIGKILL);
      });
      OptionsReg after(false, own.get());
      for (int i = 0; i < 10; ++i) after.SetInteger("New" + std::to_string(i), 100 + i);
      (void)after.Save(key);
      _exit(2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child finished without being killed at " << kill_at;

    std::unique_ptr<Registry> reopened;
    ASSERT_TRUE(Registry::Open(path_, &reopened).ok());
    OptionsReg seen(false, reopened.get());
    ASSERT_TRUE(seen.Read(key).ok());
    EXPECT_EQ(seen.map().size(), 10u) << "killed at " << kill_at;
    EXPECT_EQ(seen.GetInteger("Old9"), 9) << "killed at " << kill_at;
    EXPECT_FALSE(seen.Has("New0")) << "killed at " << kill_at;
  }
}

TEST_F(OptionsRegTest, UsesTheProcessStoreWhenGivenNone) {
  platform::Registry* previous = platform::SetDefaultRegistry(store_.get());
  OptionsReg options;
  options.SetInteger("ServerPort", 9020);
  EXPECT_TRUE(options.Save("Software\\Norvane Systems\\Logrum2\\Server").ok());
  RegistryKey key;
  EXPECT_TRUE(key.Open("Software\\Norvane Systems\\Logrum2", false).ok());
  platform::SetDefaultRegistry(previous);
  EXPECT_EQ(Values("Software\\Norvane Systems\\Logrum2\\Server").size(), 1u);
}

TEST_F(OptionsRegTest, RegistryKeyOpensBelowTheRootItsPrefixNames) {
  struct Case {
    const char* path;
    bool prefer_current_user;
    RegRoot root;
    const char* rest;
  } cases[] = {
      {"HKEY_CURRENT_USER\\Software\\A", false, kCU, "Software\\A"},
      {"hkey_current_user\\Software\\B", false, kCU, "Software\\B"},
      {"HKEY_LOCAL_MACHINE\\Software\\C", true, kLM, "Software\\C"},
      {"Hkey_Local_Machine\\Software\\D", true, kLM, "Software\\D"},
      {"Software\\E", true, kCU, "Software\\E"},
      {"Software\\F", false, kLM, "Software\\F"},
  };
  for (const Case& c : cases) {
    RegistryKey key(false, store_.get());
    const platform::Status status = key.Open(c.path, c.prefer_current_user);
    ASSERT_TRUE(status.ok()) << c.path << ": " << status.message();
    EXPECT_EQ(key.root(), c.root) << c.path;
    EXPECT_EQ(key.path(), c.rest) << c.path;
    platform::RegKeyInfo info;
    ASSERT_TRUE(store_->GetKeyInfo(c.root, c.rest, &info).ok()) << c.path << " was not created";
    EXPECT_EQ(info.class_name, "cls?");
  }
  RegistryKey bad(false, store_.get());
  EXPECT_EQ(bad.Open("HKEY_LOCAL_MACHINE\\A\\\\B", false).code(),
            platform::Status::kInvalidArgument);
  std::string text;
  EXPECT_FALSE(bad.QueryString("", "x", "dflt", &text).ok());
  EXPECT_EQ(text, "dflt");
}

TEST_F(OptionsRegTest, RegistryKeyQueriesAndWritesStringsAndRepairsOnlyUnreadableValues) {
  Put(kLM, std::string(kUsers) + "\\ann", "Password", kRegString, std::string("digest\0", 7));
  Put(kLM, std::string(kUsers) + "\\bob", "Password", kRegDword, Dword(5));
  Put(kLM, std::string(kUsers) + "\\cat", "Other", kRegDword, Dword(5));

  // The text a query gives (its default when the query fails), and the Status code.
  auto query = [](RegistryKey& key, std::string_view subkey, std::string_view name) {
    std::string text;
    const platform::Status status = key.QueryString(subkey, name, "dflt", &text);
    return std::make_pair(text, status.code());
  };
  using Code = platform::Status::Code;
  using Result = std::pair<std::string, Code>;
  RegistryKey key(false, store_.get());
  ASSERT_TRUE(key.Open(std::string("HKEY_LOCAL_MACHINE\\") + kUsers, false).ok());
  EXPECT_EQ(query(key, "ANN", "password"), Result("digest", Code::kOk));
  EXPECT_EQ(query(key, "ann", "Missing"), Result("dflt", Code::kNotFound));
  EXPECT_EQ(query(key, "nobody", "Password"), Result("dflt", Code::kNotFound));
  EXPECT_EQ(query(key, "bob", "Password"), Result("dflt", Code::kInvalidArgument));
  std::string no_default = "stale";
  EXPECT_FALSE(key.QueryString("nobody", "Password", nullptr, &no_default).ok());
  EXPECT_EQ(no_default, "");

  // Without the flag nothing is written; with it, only a value that is there
  // but unreadable as text gets the default.
  RegValue v;
  ASSERT_TRUE(store_->GetValue(kLM, std::string(kUsers) + "\\bob", "Password", &v).ok());
  EXPECT_EQ(v.type, kRegDword);
  RegistryKey repairing(true, store_.get());
  ASSERT_TRUE(repairing.Open(kUsers, false).ok());
  EXPECT_EQ(query(repairing, "bob", "Password"), Result("dflt", Code::kInvalidArgument));
  ASSERT_TRUE(store_->GetValue(kLM, std::string(kUsers) + "\\bob", "Password", &v).ok());
  EXPECT_EQ(v.type, kRegString);
  EXPECT_EQ(v.data, std::string("dflt\0", 5));
  EXPECT_EQ(query(repairing, "cat", "Password"), Result("dflt", Code::kNotFound));
  EXPECT_TRUE(store_->GetValue(kLM, std::string(kUsers) + "\\cat", "Password", &v).IsNotFound());

  EXPECT_TRUE(key.WriteString("dan\\Sub", "Password", "secret").ok());
  EXPECT_EQ(query(key, "DAN\\sub", "PASSWORD"), Result("secret", Code::kOk));
  ASSERT_TRUE(store_->GetValue(kLM, std::string(kUsers) + "\\dan\\Sub", "Password", &v).ok());
  EXPECT_EQ(v.data, std::string("secret\0", 7));
  EXPECT_TRUE(key.WriteString("", "Direct", "x").ok());
  EXPECT_EQ(query(key, "", "direct"), Result("x", Code::kOk));

  RegistryKey closed(false, store_.get());
  EXPECT_EQ(query(closed, "", "x"), Result("dflt", Code::kInvalidArgument));
  EXPECT_FALSE(closed.WriteString("", "x", "y").ok());
}

}  // namespace
}  // namespace logrum::kit
