#include "Tools/logrum-reg/RegText.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/TempDir.h"

namespace logrum::tools {
namespace {

namespace fs = std::filesystem;
using platform::kRegBinary;
using platform::kRegDword;
using platform::kRegString;
using platform::Registry;
using platform::RegistryTxn;
using platform::RegRoot;
using platform::RegValue;
using platform::Status;

constexpr RegRoot kLM = RegRoot::kLocalMachine;
constexpr RegRoot kCU = RegRoot::kCurrentUser;
constexpr char kHeader[] = "Windows Registry Editor Version 5.00\n\n";

std::string Dword(uint32_t v) {
  return std::string{static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff),
                     static_cast<char>((v >> 16) & 0xff), static_cast<char>(v >> 24)};
}

class RegTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = Fresh("registry.db3");
  }
  void TearDown() override { store_.reset(); }
  std::unique_ptr<Registry> Fresh(const std::string& name) {
    std::unique_ptr<Registry> store;
    EXPECT_TRUE(Registry::Open((dir_ / name).string(), &store).ok());
    return store;
  }
  void Put(RegRoot root, const std::string& key, const std::string& name, uint32_t type,
           const std::string& data) {
    ASSERT_TRUE(store_->CreateKey(root, key, "").ok());
    ASSERT_TRUE(store_->SetValue(root, key, name, type, data).ok());
  }
  static std::string Export(Registry& store, RegRoot root, const std::string& key) {
    std::string text;
    Status status =
        store.View([&](RegistryTxn& txn) { return ExportRegText(txn, root, key, &text); });
    EXPECT_TRUE(status.ok()) << status.ToString();
    return text;
  }
  static Status Import(Registry& store, const std::string& text) {
    std::vector<RegOp> ops;
    int line = 0;
    if (Status parsed = ParseRegText(text, &ops, &line); !parsed.ok()) {
      return Status::Error(parsed.code(), std::to_string(line) + ": " + parsed.message());
    }
    return store.Update([&](RegistryTxn& txn) { return ApplyRegOps(txn, ops, "cls?"); });
  }

  logrum::testing::TempDir temp_{"regtext"};
  fs::path dir_ = temp_.path();
  std::unique_ptr<Registry> store_;
};

TEST_F(RegTextTest, ExportWritesTheFamiliarForm) {
  const std::string key = "Software\\Small";
  Put(kLM, key, "Name", kRegString, std::string("a \"b\" \\c\0", 9));
  Put(kLM, key, "", kRegString, std::string("d\0", 2));
  Put(kLM, key, "Port", kRegDword, Dword(9020));
  Put(kLM, key, "Blob", kRegBinary, "\x0a\x0b");
  Put(kLM, key, "Multi", 7, std::string("a\0\0\0", 4));
  Put(kLM, key, "Line", kRegString, std::string("a\nb\0", 4));
  ASSERT_TRUE(store_->CreateKey(kLM, key + "\\Sub", "").ok());
  EXPECT_EQ(Export(*store_, kLM, key),
            std::string(kHeader) +
                "[HKEY_LOCAL_MACHINE\\Software\\Small]\n"
                "\"Name\"=\"a \\\"b\\\" \\\\c\"\n"
                "@=\"d\"\n"
                "\"Port\"=dword:0000233c\n"
                "\"Blob\"=hex:0a,0b\n"
                "\"Multi\"=hex(7):61,00,00,00\n"
                "\"Line\"=hex(1):61,0a,62,00\n"
                "\n"
                "[HKEY_LOCAL_MACHINE\\Software\\Small\\Sub]\n"
                "\n");
}

TEST_F(RegTextTest, AnExportImportedIntoAnEmptyStoreExportsByteForByte) {
  const std::string root = "Software\\Norvane Systems\\Logrum2";
  std::string long_blob;
  for (int i = 0; i < 300; ++i) long_blob.push_back(static_cast<char>(i * 7));
  Put(kLM, root, "Quote\"d \\ name", kRegString, std::string("C:\\Logs\\ \"x\"\0", 13));
  Put(kLM, root, "NoNul", kRegString, "abc");
  Put(kLM, root, "TwoNuls", kRegString, std::string("ab\0c\0", 5));
  Put(kLM, root, "Tab", kRegString, std::string("a\tb\0", 4));
  Put(kLM, root, "Empty string", kRegString, std::string("\0", 1));
  Put(kLM, root, "", kRegString, std::string("default\0", 8));
  Put(kLM, root, "Port", kRegDword, Dword(0xfffffffe));
  Put(kLM, root, "Long", kRegBinary, long_blob);
  Put(kLM, root, "Empty", kRegBinary, "");
  Put(kLM, root, "QWord", 11, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  Put(kLM, root, "Big type", 0x1234, "zz");
  Put(kLM, root, "\xc3\x9c" "ber", kRegString, std::string("gr\xc3\xbc\xc3\x9f\0", 7));
  Put(kLM, root + "\\Zulu", "Z", kRegDword, Dword(1));
  Put(kLM, root + "\\Alpha\\Deep", "D", kRegDword, Dword(2));
  Put(kLM, root + "\\Alpha", "A", kRegDword, Dword(3));
  Put(kLM, root + "\\Key]with bracket", "B", kRegDword, Dword(4));
  ASSERT_TRUE(store_->CreateKey(kLM, root + "\\Empty key", "").ok());
  Put(kCU, root, "Elsewhere", kRegDword, Dword(5));  // not under the exported key

  std::string first = Export(*store_, kLM, "");
  EXPECT_NE(first.find("\\\n  "), std::string::npos) << "long hex lines are wrapped";
  for (size_t start = 0, end; (end = first.find('\n', start)) != std::string::npos; start = end + 1) {
    EXPECT_LE(end - start, 80u) << first.substr(start, end - start);
  }
  EXPECT_EQ(first.find("Elsewhere"), std::string::npos);

  std::unique_ptr<Registry> empty = Fresh("empty.db3");
  ASSERT_TRUE(Import(*empty, first).ok());
  EXPECT_EQ(Export(*empty, kLM, ""), first);
  RegValue v;
  ASSERT_TRUE(empty->GetValue(kLM, root, "TwoNuls", &v).ok());
  EXPECT_EQ(v.data, std::string("ab\0c\0", 5));
  ASSERT_TRUE(empty->GetValue(kLM, root, "Long", &v).ok());
  EXPECT_EQ(v.data, long_blob);
}

TEST_F(RegTextTest, ImportReadsCrlfBomsCommentsContinuationsAndDeletions) {
  Put(kLM, "Software\\Old\\Child", "X", kRegDword, Dword(1));
  Put(kLM, "Software\\Keep", "Gone", kRegDword, Dword(1));
  Put(kLM, "Software\\Keep", "Stay", kRegDword, Dword(1));
  std::string text =
      "\xef\xbb\xbfWindows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[-HKEY_LOCAL_MACHINE\\Software\\Old]\r\n"
      "[-HKEY_LOCAL_MACHINE\\Software\\Never there]\r\n"
      "[hkey_local_machine\\SOFTWARE\\keep]\r\n"
      "\"gone\"=-\r\n"
      "\"missing\"=-\r\n"
      "\"Bytes\" = hex:01,02,\\\r\n"
      "    03,04\r\n"
      "\"Small\"=dword:a\r\n"
      "[HKEY_CURRENT_USER\\Software\\App]\r\n"
      "\"XPos\"=dword:ffffffff\r\n";
  Status status = Import(*store_, text);
  ASSERT_TRUE(status.ok()) << status.ToString();
  bool exists = true;
  ASSERT_TRUE(store_->KeyExists(kLM, "Software\\Old", &exists).ok());
  EXPECT_FALSE(exists);
  std::vector<RegValue> values;
  ASSERT_TRUE(store_->ListValues(kLM, "Software\\Keep", &values).ok());
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0].name, "Stay");
  EXPECT_EQ(values[1].data, "\x01\x02\x03\x04");
  EXPECT_EQ(values[2].data, Dword(10));
  RegValue v;
  ASSERT_TRUE(store_->GetValue(kCU, "Software\\App", "XPos", &v).ok());
  EXPECT_EQ(v.data, Dword(0xffffffff));

  // UTF-16LE, as regedit writes by default.
  std::string utf8 =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\U]\r\n\"N\xc3\xa4me\"=\"\xe2\x82\xac\"\r\n";
  std::string utf16 = "\xff\xfe";
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    uint32_t code = c;
    if (c >= 0xe0) {
      code = (c & 0x0f) << 12 | (utf8[i + 1] & 0x3f) << 6 | (utf8[i + 2] & 0x3f);
      i += 2;
    } else if (c >= 0xc0) {
      code = (c & 0x1f) << 6 | (utf8[i + 1] & 0x3f);
      i += 1;
    }
    utf16 += static_cast<char>(code & 0xff);
    utf16 += static_cast<char>(code >> 8);
  }
  ASSERT_TRUE(Import(*store_, utf16).ok());
  ASSERT_TRUE(store_->GetValue(kLM, "U", "N\xc3\xa4me", &v).ok());
  EXPECT_EQ(v.data, std::string("\xe2\x82\xac\0", 4));
}

TEST_F(RegTextTest, AMalformedLineIsRefusedWithItsNumber) {
  const std::string head = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n";
  struct Case {
    std::string text;
    int line;
    const char* says;
  } cases[] = {
      {"", 1, "empty"},
      {"REGEDIT5\n", 1, "first line"},
      {"Windows Registry Editor Version 5.00\n\n\"a\"=\"b\"\n", 3, "before the first"},
      {head + "\"a\"=dword:123456789\n", 4, "1 to 8"},
      {head + "\"a\"=dword:xyz\n", 4, "1 to 8"},
      {head + "\"a\"=dword:\n", 4, "1 to 8"},
      {head + "\"ok\"=hex:01\n\"a\"=hex:0g\n", 5, "hex byte"},
      {head + "\"a\"=hex:01,,02\n", 4, "hex byte"},
      {head + "\"a\"=hex(zz):01\n", 4, "hex(type)"},
      {head + "\"a\"=hex(4):01,02,03\n", 4, "4 bytes"},
      {head + "\"a\"=hex:01,\\\n", 4, "continued"},
      {head + "\"a\"=\"unterminated\n", 4, "closing double quote"},
      {head + "\"a\"=\"bad \\n escape\"\n", 4, "backslash"},
      {head + "\"a\"=\"x\" trailing\n", 4, "after the closing"},
      {head + "\"a\"\n", 4, "expected ="},
      {head + "\"a\"=word:1\n", 4, "unrecognised"},
      {head + "\"a=\"b\"\n", 4, "expected ="},
      {head + "[HKEY_CLASSES_ROOT\\A]\n", 4, "root"},
      {head + "[HKLM\\A]\n", 4, "root"},
      {head + "[HKEY_LOCAL_MACHINE\\A\n", 4, "end with ]"},
      {head + "[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 4, "empty key name"},
      {head + "[-HKEY_LOCAL_MACHINE]\n", 4, "root key"},
      {head + "[-HKEY_LOCAL_MACHINE\\B]\n\"v\"=dword:1\n", 5, "deletes"},
  };
  for (const Case& c : cases) {
    std::vector<RegOp> ops;
    int line = 0;
    Status parsed = ParseRegText(c.text, &ops, &line);
    EXPECT_EQ(parsed.code(), Status::kInvalidArgument) << c.text;
    EXPECT_EQ(line, c.line) << c.text << " -> " << parsed.message();
    EXPECT_NE(parsed.message().find(c.says), std::string::npos)
        << c.text << " -> " << parsed.message();
  }
}

TEST(KeyNameTest, AcceptsBothRootsInLongAndShortForms) {
  struct Case {
    const char* text;
    bool ok;
    RegRoot root;
    const char* path;
  } cases[] = {
      {"HKEY_LOCAL_MACHINE\\Software\\X", true, kLM, "Software\\X"},
      {"hklm\\Software", true, kLM, "Software"},
      {"HKEY_CURRENT_USER", true, kCU, ""},
      {"HKCU\\A\\B", true, kCU, "A\\B"},
      {"HKEY_USERS\\A", false, kLM, ""},
      {"Software\\X", false, kLM, ""},
  };
  for (const Case& c : cases) {
    RegRoot root = kLM;
    std::string path;
    EXPECT_EQ(ParseKeyName(c.text, &root, &path), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(root, c.root) << c.text;
      EXPECT_EQ(path, c.path) << c.text;
    }
  }
}

}  // namespace
}  // namespace logrum::tools
