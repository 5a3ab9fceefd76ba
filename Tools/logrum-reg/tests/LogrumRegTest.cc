// Runs the built logrum-reg program against a store in a temporary state folder.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "Lib/Platform/Registry.h"
#include "tests/support/TempDir.h"

namespace logrum::tools {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string ShellQuote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

struct Result {
  int status = -1;
  std::string out, err;
};

class LogrumRegTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "home");
    setenv("LOGRUM2_HOME", (dir_ / "home").c_str(), 1);
  }
  void TearDown() override { unsetenv("LOGRUM2_HOME"); }

  std::string Command(const std::vector<std::string>& args) {
    std::string command = ShellQuote(std::string(LOGRUM2_BUILD_DIR) + "/bin/logrum-reg");
    for (const std::string& arg : args) command += " " + ShellQuote(arg);
    return command;
  }
  Result Run(const std::vector<std::string>& args) {
    std::string command = Command(args) + " </dev/null >" + ShellQuote((dir_ / "out").string()) + " 2>" +
                          ShellQuote((dir_ / "err").string());
    Result result;
    int status = std::system(command.c_str());
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadFile(dir_ / "out");
    result.err = ReadFile(dir_ / "err");
    return result;
  }

  logrum::testing::TempDir temp_{"logrum-reg"};
  fs::path dir_ = temp_.path();
};

TEST_F(LogrumRegTest, SetsQueriesDeletesExportsAndImports) {
  const std::string key = "HKEY_LOCAL_MACHINE\\Software\\Norvane Systems\\Logrum2\\Server";
  ASSERT_EQ(Run({"set", key, "ServerPort", "dword", "9020"}).status, 0);
  ASSERT_EQ(Run({"set", key, "Name", "string", "Main studio"}).status, 0);
  ASSERT_EQ(Run({"set", key, "Blob", "binary", "0a,0B"}).status, 0);
  ASSERT_EQ(Run({"set", "HKLM\\Software\\Norvane Systems\\Logrum2\\Server\\Sub", "N", "dword", "-1"}).status, 0);
  EXPECT_EQ(Run({"set", key, "Bad", "dword", "12x"}).status, 1);
  EXPECT_EQ(Run({"set", key, "Bad", "binary", "abc"}).status, 1);
  EXPECT_EQ(Run({"set", key, "Bad", "qword", "1"}).status, 2);
  EXPECT_EQ(Run({"set", "HKEY_USERS\\X", "Bad", "dword", "1"}).status, 2);

  Result query = Run({"query", "hklm\\software\\norvane systems\\logrum2\\server"});
  ASSERT_EQ(query.status, 0) << query.err;
  EXPECT_EQ(query.out,
            "HKEY_LOCAL_MACHINE\\software\\norvane systems\\logrum2\\server\n"
            "    ServerPort    REG_DWORD    0x233c (9020)\n"
            "    Name    REG_SZ    Main studio\n"
            "    Blob    REG_BINARY    0A0B\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\software\\norvane systems\\logrum2\\server\\Sub\n");

  fs::path exported = dir_ / "server.reg";
  ASSERT_EQ(Run({"export", key, exported.string()}).status, 0);
  std::string text = ReadFile(exported);
  EXPECT_NE(text.find("\"ServerPort\"=dword:0000233c\n"), std::string::npos) << text;
  EXPECT_EQ(Run({"export", key, "-"}).out, text);

  ASSERT_EQ(Run({"delete", key, "Name"}).status, 0);
  EXPECT_EQ(Run({"delete", key, "Name"}).status, 1);
  ASSERT_EQ(Run({"delete", "HKLM\\Software"}).status, 0);
  Result gone = Run({"query", key});
  EXPECT_EQ(gone.status, 1);
  EXPECT_NE(gone.err.find("no such key"), std::string::npos) << gone.err;
  EXPECT_EQ(Run({"delete", "HKLM"}).status, 1);
  EXPECT_EQ(Run({"export", key, "-"}).status, 1);

  // The export brings everything back, and exports again byte for byte.
  ASSERT_EQ(Run({"import", exported.string()}).status, 0);
  EXPECT_EQ(Run({"export", key, "-"}).out, text);
  std::string stdin_import = Command({"import", "-"}) + " <" + ShellQuote(exported.string());
  EXPECT_EQ(std::system(stdin_import.c_str()), 0);
}

TEST_F(LogrumRegTest, AMalformedFileIsRefusedWithItsLineAndNothingIsWritten) {
  ASSERT_EQ(Run({"set", "HKLM\\Software\\K", "V", "dword", "1"}).status, 0);
  std::string before = Run({"export", "HKLM", "-"}).out;
  fs::path file = dir_ / "bad.reg";
  WriteFile(file,
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[-HKEY_LOCAL_MACHINE\\Software\\K]\n"
            "[HKEY_LOCAL_MACHINE\\Software\\New]\n"
            "\"Good\"=dword:00000001\n"
            "\"Bad\"=dword:zz\n");
  Result result = Run({"import", file.string()});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find(file.string() + ":6:"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("nothing was imported"), std::string::npos) << result.err;
  EXPECT_EQ(Run({"export", "HKLM", "-"}).out, before);

  // Names at the store's limits go through.
  WriteFile(file,
            "Windows Registry Editor Version 5.00\n\n"
            "[-HKEY_LOCAL_MACHINE\\Software\\K]\n"
            "[HKEY_LOCAL_MACHINE\\Software\\New]\n"
            "\"" + std::string(16383, 'n') + "\"=dword:00000001\n"
            "[HKEY_LOCAL_MACHINE\\Software\\" + std::string(255, 'k') + "]\n");
  EXPECT_EQ(Run({"import", file.string()}).status, 0);
  EXPECT_EQ(Run({"import", (dir_ / "missing.reg").string()}).status, 1);
}

TEST_F(LogrumRegTest, TwoProcessesSettingValuesOfOneKeyLoseNeither) {
  std::string script;
  for (const char* who : {"A", "B"}) {
    std::string set = Command({"set", "HKLM\\Software\\Shared", std::string(who), "dword", "0"});
    // The value name is the writer's letter followed by the loop counter.
    set.replace(set.find(std::string("'") + who + "'"), 3, std::string("'") + who + "'$i");
    script += "(for i in $(seq 1 25); do " + set + " >/dev/null || exit 1; done) & p" + who + "=$!; ";
  }
  script += "wait $pA && wait $pB";
  ASSERT_EQ(std::system(("bash -c " + ShellQuote(script)).c_str()), 0) << script;
  Result query = Run({"query", "HKLM\\Software\\Shared"});
  ASSERT_EQ(query.status, 0) << query.err;
  for (const char* who : {"A", "B"}) {
    for (int i = 1; i <= 25; ++i) {
      EXPECT_NE(query.out.find(std::string("    ") + who + std::to_string(i) + "    REG_DWORD"),
                std::string::npos)
          << who << i;
    }
  }
}

TEST_F(LogrumRegTest, ACorruptStoreIsReportedNotReplaced) {
  fs::path store = dir_ / "home" / "registry.db3";
  std::string garbage(10000, '\x42');
  WriteFile(store, garbage);
  for (std::vector<std::string> args : {std::vector<std::string>{"query", "HKLM"},
                                        {"set", "HKLM\\A", "V", "dword", "1"},
                                        {"import", "-"}}) {
    Result result = Run(args);
    EXPECT_EQ(result.status, 1) << args[0];
    EXPECT_NE(result.err.find(store.string()), std::string::npos) << result.err;
  }
  EXPECT_EQ(ReadFile(store), garbage);
}

}  // namespace
}  // namespace logrum::tools
