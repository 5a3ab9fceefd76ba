#include "Lib/Platform/Registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "Lib/Platform/StateFolder.h"
#include "tests/support/TempDir.h"

namespace logrum::platform {
namespace {

namespace fs = std::filesystem;
constexpr RegRoot kLM = RegRoot::kLocalMachine;
constexpr RegRoot kCU = RegRoot::kCurrentUser;

std::string Dword(uint32_t v) {
  return std::string{static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff),
                     static_cast<char>((v >> 16) & 0xff), static_cast<char>(v >> 24)};
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (dir_ / "registry.db3").string();
    ASSERT_TRUE(Registry::Open(path_, &store_).ok());
  }
  void TearDown() override { store_.reset(); }

  std::vector<std::string> ValueNames(RegRoot root, std::string_view key) {
    std::vector<RegValue> values;
    EXPECT_TRUE(store_->ListValues(root, key, &values).ok());
    std::vector<std::string> names;
    for (const RegValue& v : values) names.push_back(v.name);
    return names;
  }

  logrum::testing::TempDir temp_{"registry"};
  fs::path dir_ = temp_.path();
  std::string path_;
  std::unique_ptr<Registry> store_;
};

TEST_F(RegistryTest, KeysAndValuesKeepSpellingAndCreationOrderAndFoldOnlyAToZ) {
  const char* key = "Software\\Norvane Systems\\Logrum2\\Users";
  bool created = false;
  ASSERT_TRUE(store_->CreateKey(kLM, key, "cls?", &created).ok());
  EXPECT_TRUE(created);
  ASSERT_TRUE(store_->CreateKey(kLM, "SOFTWARE\\norvane systems\\LOGRUM2\\users", "x", &created).ok());
  EXPECT_FALSE(created);

  ASSERT_TRUE(store_->SetValue(kLM, key, "Zeta", kRegString, std::string("z\0", 2)).ok());
  ASSERT_TRUE(store_->SetValue(kLM, key, "Alpha", kRegDword, Dword(10)).ok());
  ASSERT_TRUE(store_->SetValue(kLM, key, "Blob", kRegBinary, std::string("\x00\xff", 2)).ok());
  ASSERT_TRUE(store_->SetValue(kLM, key, "Multi", 7, std::string("a\0b\0\0", 5)).ok());
  ASSERT_TRUE(store_->SetValue(kLM, key, "", kRegString, std::string("d\0", 2)).ok());
  // Rewriting under another spelling changes type and data in place.
  ASSERT_TRUE(store_->SetValue(kLM, key, "ZETA", kRegDword, Dword(7)).ok());
  // Only A-Z fold: these are two names.
  ASSERT_TRUE(store_->SetValue(kLM, key, "\xc3\x84", kRegDword, Dword(1)).ok());
  ASSERT_TRUE(store_->SetValue(kLM, key, "\xc3\xa4", kRegDword, Dword(2)).ok());

  EXPECT_EQ(ValueNames(kLM, key), (std::vector<std::string>{"Zeta", "Alpha", "Blob", "Multi", "",
                                                             "\xc3\x84", "\xc3\xa4"}));
  RegValue v;
  ASSERT_TRUE(store_->GetValue(kLM, "software\\NORVANE SYSTEMS\\logrum2\\USERS", "zeta", &v).ok());
  EXPECT_EQ(v.name, "Zeta");
  EXPECT_EQ(v.type, kRegDword);
  EXPECT_EQ(v.data, Dword(7));
  ASSERT_TRUE(store_->GetValue(kLM, key, "multi", &v).ok());
  EXPECT_EQ(v.type, 7u);
  EXPECT_EQ(v.data, std::string("a\0b\0\0", 5));
  ASSERT_TRUE(store_->GetValue(kLM, key, "Blob", &v).ok());
  EXPECT_EQ(v.data, std::string("\x00\xff", 2));

  // The two roots are separate trees.
  bool exists = true;
  ASSERT_TRUE(store_->KeyExists(kCU, key, &exists).ok());
  EXPECT_FALSE(exists);

  RegKeyInfo info;
  ASSERT_TRUE(store_->GetKeyInfo(kLM, key, &info).ok());
  EXPECT_EQ(info.class_name, "cls?");
  EXPECT_EQ(info.value_count, 7u);
  EXPECT_EQ(info.max_value_name, 5u);  // "Alpha", "Multi"
  EXPECT_EQ(info.max_value_data, 5u);
  EXPECT_EQ(info.subkey_count, 0u);
  ASSERT_TRUE(store_->GetKeyInfo(kLM, "Software\\Norvane Systems", &info).ok());
  EXPECT_EQ(info.class_name, "cls?");  // parents created on the way get the class too
  EXPECT_EQ(info.subkey_count, 1u);
  EXPECT_EQ(info.max_subkey_name, 7u);
}

TEST_F(RegistryTest, SubkeysEnumerateInCreationOrderAndDeleteTakesTheWholeTree) {
  for (const char* k : {"S\\Zulu", "S\\Alpha", "S\\Mike\\Deep\\Deeper", "S\\Alpha\\Child", "T"}) {
    ASSERT_TRUE(store_->CreateKey(kLM, k, "").ok()) << k;
    ASSERT_TRUE(store_->SetValue(kLM, k, "V", kRegDword, Dword(1)).ok());
  }
  std::vector<std::string> names;
  ASSERT_TRUE(store_->ListSubkeys(kLM, "s", &names).ok());
  EXPECT_EQ(names, (std::vector<std::string>{"Zulu", "Alpha", "Mike"}));
  ASSERT_TRUE(store_->ListSubkeys(kLM, "", &names).ok());
  EXPECT_EQ(names, (std::vector<std::string>{"S", "T"}));

  ASSERT_TRUE(store_->DeleteKey(kLM, "S\\MIKE").ok());
  ASSERT_TRUE(store_->ListSubkeys(kLM, "S", &names).ok());
  EXPECT_EQ(names, (std::vector<std::string>{"Zulu", "Alpha"}));
  ASSERT_TRUE(store_->DeleteKey(kLM, "S").ok());
  bool exists = true;
  ASSERT_TRUE(store_->KeyExists(kLM, "S\\Alpha\\Child", &exists).ok());
  EXPECT_FALSE(exists);
  // A re-created key starts empty: nothing of the old tree is found under it.
  ASSERT_TRUE(store_->CreateKey(kLM, "S\\Alpha\\Child", "").ok());
  EXPECT_TRUE(ValueNames(kLM, "S\\Alpha\\Child").empty());
  EXPECT_EQ(ValueNames(kLM, "T"), std::vector<std::string>{"V"});
}

TEST_F(RegistryTest, RefusesBadNamesMissingKeysAndRootDeletion) {
  struct Case {
    Status status;
    Status::Code code;
    const char* what;
  };
  RegValue v;
  Case cases[] = {
      {store_->CreateKey(kLM, "A\\\\B", ""), Status::kInvalidArgument, "empty name"},
      {store_->CreateKey(kLM, "\\A", ""), Status::kInvalidArgument, "leading backslash"},
      {store_->CreateKey(kLM, std::string(256, 'k'), ""), Status::kInvalidArgument, "long"},
      {store_->CreateKey(kLM, std::string("A\0B", 3), ""), Status::kInvalidArgument, "nul"},
      {store_->SetValue(kLM, "", "D", kRegDword, "123"), Status::kInvalidArgument, "dword 3"},
      {store_->SetValue(kLM, "Missing", "V", kRegString, ""), Status::kNotFound, "no key"},
      {store_->GetValue(kLM, "", "Missing", &v), Status::kNotFound, "no value"},
      {store_->DeleteValue(kLM, "", "Missing"), Status::kNotFound, "delete no value"},
      {store_->DeleteKey(kLM, "Missing\\Key"), Status::kNotFound, "delete no key"},
      {store_->DeleteKey(kCU, ""), Status::kInvalidArgument, "root"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.status.code(), c.code) << c.what << ": " << c.status.ToString();
    EXPECT_FALSE(c.status.message().empty()) << c.what;
  }
  EXPECT_NE(cases[5].status.message().find("HKEY_LOCAL_MACHINE\\Missing"), std::string::npos);
  // A trailing backslash names the same key.
  ASSERT_TRUE(store_->CreateKey(kLM, "A\\B\\", "").ok());
  bool exists = false;
  ASSERT_TRUE(store_->KeyExists(kLM, "A\\B", &exists).ok());
  EXPECT_TRUE(exists);
}

TEST_F(RegistryTest, AFailedUpdateLeavesNothingBehind) {
  ASSERT_TRUE(store_->CreateKey(kLM, "K", "").ok());
  ASSERT_TRUE(store_->SetValue(kLM, "K", "Old", kRegDword, Dword(1)).ok());
  Status status = store_->Update([](RegistryTxn& txn) {
    EXPECT_TRUE(txn.DeleteValue(kLM, "K", "Old").ok());
    EXPECT_TRUE(txn.CreateKey(kLM, "K\\New", "").ok());
    EXPECT_TRUE(txn.SetValue(kLM, "K", "New", kRegDword, Dword(2)).ok());
    return txn.SetValue(kLM, "K\\Nope", "X", kRegDword, Dword(3));  // fails: no such key
  });
  EXPECT_TRUE(status.IsNotFound()) << status.ToString();
  EXPECT_EQ(ValueNames(kLM, "K"), std::vector<std::string>{"Old"});
  bool exists = true;
  ASSERT_TRUE(store_->KeyExists(kLM, "K\\New", &exists).ok());
  EXPECT_FALSE(exists);

  status = store_->View([](RegistryTxn& txn) { return txn.CreateKey(kLM, "K\\V", ""); });
  EXPECT_EQ(status.code(), Status::kInvalidArgument);
}

// Writers in other processes (own connections) and threads sharing one store
// object; every value must survive however they interleave.
TEST_F(RegistryTest, ConcurrentWritersOnOneKeyLoseNothing) {
  ASSERT_TRUE(store_->CreateKey(kLM, "Shared", "").ok());
  constexpr int kWriters = 4, kValues = 40;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters / 2; ++w) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::unique_ptr<Registry> own;
      bool ok = Registry::Open(path_, &own).ok();
      for (int i = 0; ok && i < kValues; ++i) {
        ok = own->SetValue(kLM, "Shared", "P" + std::to_string(w) + "_" + std::to_string(i),
                           kRegDword, Dword(i))
                 .ok();
      }
      _exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  std::vector<std::thread> threads;
  for (int w = kWriters / 2; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      // These threads share the parent's store object (one connection).
      for (int i = 0; i < kValues; ++i) {
        // Read-modify-write of a counter in one transaction: no lost update.
        ASSERT_TRUE(store_->Update([&](RegistryTxn& txn) {
                         RegValue counter;
                         uint32_t n = 0;
                         if (txn.GetValue(kLM, "Shared", "Counter", &counter).ok()) {
                           n = static_cast<uint8_t>(counter.data[0]) |
                               static_cast<uint8_t>(counter.data[1]) << 8;
                         }
                         Status s = txn.SetValue(kLM, "Shared", "Counter", kRegDword, Dword(n + 1));
                         if (!s.ok()) return s;
                         return txn.SetValue(kLM, "Shared",
                                             "T" + std::to_string(w) + "_" + std::to_string(i),
                                             kRegDword, Dword(i));
                       }).ok());
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  RegKeyInfo info;
  ASSERT_TRUE(store_->GetKeyInfo(kLM, "Shared", &info).ok());
  EXPECT_EQ(info.value_count, static_cast<uint32_t>(kWriters * kValues + 1));
  RegValue counter;
  ASSERT_TRUE(store_->GetValue(kLM, "Shared", "Counter", &counter).ok());
  EXPECT_EQ(counter.data, Dword(kValues * (kWriters - kWriters / 2)));
}

// A writer killed at any point inside its transaction leaves the old key.
TEST_F(RegistryTest, AWriterKilledMidTransactionLeavesTheOldKey) {
  ASSERT_TRUE(store_->CreateKey(kLM, "Cfg", "").ok());
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(store_->SetValue(kLM, "Cfg", "Old" + std::to_string(i), kRegDword, Dword(i)).ok());
  }
  auto rewrite = [](RegistryTxn& txn) -> Status {
    for (int i = 0; i < 20; ++i) {
      if (Status s = txn.DeleteValue(kLM, "Cfg", "Old" + std::to_string(i)); !s.ok()) return s;
    }
    for (int i = 0; i < 20; ++i) {
      Status s = txn.SetValue(kLM, "Cfg", "New" + std::to_string(i), kRegDword, Dword(i));
      if (!s.ok()) return s;
    }
    return Status::Ok();
  };
  for (int kill_at : {1, 20, 39}) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::unique_ptr<Registry> own;
      if (!Registry::Open(path_, &own).ok()) _exit(1);
      own->SetWriteHookForTesting([kill_at](int writes) {
        if (writes == kill_at) kill(getpid(), SIGKILL);
      });
      (void)own->Update(rewrite);
      _exit(2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "killed at " << kill_at;

    std::unique_ptr<Registry> reopened;
    ASSERT_TRUE(Registry::Open(path_, &reopened).ok());
    std::vector<RegValue> values;
    ASSERT_TRUE(reopened->ListValues(kLM, "Cfg", &values).ok());
    ASSERT_EQ(values.size(), 20u) << "killed at " << kill_at;
    EXPECT_EQ(values.front().name, "Old0");
  }
  // The store is still writable after the dead writers: the lock went with them.
  ASSERT_TRUE(store_->Update(rewrite).ok());
  EXPECT_EQ(ValueNames(kLM, "Cfg").front(), "New0");
}

TEST_F(RegistryTest, AnUnreadableStoreIsReportedAndLeftAsItIs) {
  ASSERT_TRUE(store_->CreateKey(kLM, "K", "").ok());
  ASSERT_TRUE(store_->SetValue(kLM, "K", "V", kRegString, std::string("x\0", 2)).ok());
  store_.reset();  // the last close folds the log into the file

  std::string good = ReadFile(path_);
  ASSERT_GT(good.size(), 4096u);
  std::string smashed_header = good;
  smashed_header.replace(0, 16, "NOT A STORE!!!!!");
  std::string garbage(8192, '\x5a');

  std::string foreign = (dir_ / "foreign.db3").string();
  // A SQLite file of some other program.
  ASSERT_EQ(std::system(("sqlite3 '" + foreign + "' 'CREATE TABLE t(x); INSERT INTO t VALUES(1);'")
                            .c_str()),
            0);
  std::string foreign_bytes = ReadFile(foreign);

  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {{"smashed header", smashed_header}, {"garbage", garbage}, {"foreign", foreign_bytes}};
  for (const Case& c : cases) {
    WriteFile(path_, c.bytes);
    std::unique_ptr<Registry> store;
    Status status = Registry::Open(path_, &store);
    EXPECT_EQ(status.code(), Status::kCorrupt) << c.what << ": " << status.ToString();
    EXPECT_NE(status.message().find(path_), std::string::npos) << status.message();
    EXPECT_EQ(store, nullptr);
    EXPECT_EQ(ReadFile(path_), c.bytes) << c.what << ": the file was changed";
  }

  WriteFile(path_, good);
  ASSERT_TRUE(Registry::Open(path_, &store_).ok());
  RegValue v;
  EXPECT_TRUE(store_->GetValue(kLM, "K", "V", &v).ok());
}

TEST_F(RegistryTest, TheProcessStoreLivesInTheStateFolder) {
  std::string home = (dir_ / "home" / "deeper").string();
  setenv("LOGRUM2_HOME", (home + "//").c_str(), 1);
  EXPECT_EQ(StateFolderPath(), home);
  Registry* store = nullptr;
  ASSERT_TRUE(DefaultRegistry(&store).ok());
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->path(), home + "/registry.db3");
  EXPECT_TRUE(fs::exists(home + "/registry.db3"));

  EXPECT_EQ(SetDefaultRegistry(store_.get()), nullptr);
  ASSERT_TRUE(DefaultRegistry(&store).ok());
  EXPECT_EQ(store, store_.get());
  EXPECT_EQ(SetDefaultRegistry(nullptr), store_.get());
  unsetenv("LOGRUM2_HOME");
  if (geteuid() == 0) {
    EXPECT_EQ(StateFolderPath(), "/var/lib/logrum2");
  }
}

}  // namespace
}  // namespace logrum::platform
