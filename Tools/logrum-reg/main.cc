// logrum-reg: the station engineer's editor for the configuration store.
//
//   logrum-reg query KEY
//   logrum-reg set KEY NAME (string|dword|binary) VALUE
//   logrum-reg delete KEY [NAME]
//   logrum-reg export KEY FILE|-
//   logrum-reg import FILE|-
//
// The store is "registry.db3" in the state folder, the same one the server
// uses ($LOGRUM2_HOME when set). Exit status: 0 done, 1 failed, 2 bad usage.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Lib/Platform/Registry.h"
#include "Tools/logrum-reg/RegText.h"

namespace {

using logrum::platform::Registry;
using logrum::platform::RegistryTxn;
using logrum::platform::RegRoot;
using logrum::platform::RegValue;
using logrum::platform::Status;
using namespace logrum::tools;

constexpr char kNewKeyClass[] = "cls?";

int Usage() {
  std::fprintf(stderr,
               "usage: logrum-reg query KEY\n"
               "       logrum-reg set KEY NAME (string|dword|binary) VALUE\n"
               "       logrum-reg delete KEY [NAME]\n"
               "       logrum-reg export KEY FILE|-\n"
               "       logrum-reg import FILE|-\n"
               "KEY is HKEY_LOCAL_MACHINE\\... or HKEY_CURRENT_USER\\... (or HKLM\\..., HKCU\\...).\n"
               "NAME \"\" is the key's default value. The store is registry.db3 in $LOGRUM2_HOME.\n");
  return 2;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "logrum-reg: %s\n", message.c_str());
  return 1;
}

bool Key(const char* text, RegRoot* root, std::string* path) {
  if (ParseKeyName(text, root, path)) return true;
  std::fprintf(stderr, "logrum-reg: %s: a key begins with HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER\n",
               text);
  return false;
}

std::string Printable(const RegValue& value) {
  char buffer[64];
  switch (value.type) {
    case logrum::platform::kRegString:
      return value.data.substr(0, value.data.find('\0'));
    case logrum::platform::kRegDword:
      if (value.data.size() == 4) {
        uint32_t v = static_cast<uint8_t>(value.data[0]) |
                     static_cast<uint32_t>(static_cast<uint8_t>(value.data[1])) << 8 |
                     static_cast<uint32_t>(static_cast<uint8_t>(value.data[2])) << 16 |
                     static_cast<uint32_t>(static_cast<uint8_t>(value.data[3])) << 24;
        std::snprintf(buffer, sizeof buffer, "0x%x (%d)", v, static_cast<int32_t>(v));
        return buffer;
      }
      [[fallthrough]];
    default: {
      std::string hex;
      for (char c : value.data) {
        std::snprintf(buffer, sizeof buffer, "%02X", static_cast<unsigned char>(c));
        hex += buffer;
      }
      return hex;
    }
  }
}

int Query(Registry& store, const char* key_text) {
  RegRoot root;
  std::string path;
  if (!Key(key_text, &root, &path)) return 2;
  std::vector<RegValue> values;
  std::vector<std::string> subkeys;
  Status status = store.View([&](RegistryTxn& txn) {
    Status s = txn.ListValues(root, path, &values);
    return s.ok() ? txn.ListSubkeys(root, path, &subkeys) : s;
  });
  if (!status.ok()) return Fail(status.message());
  std::string out = KeyName(root, path) + "\n";
  for (const RegValue& value : values) {
    out += "    " + (value.name.empty() ? std::string("(Default)") : value.name) + "    " +
           logrum::platform::RegTypeName(value.type) + "    " + Printable(value) + "\n";
  }
  if (!subkeys.empty()) out += "\n";
  for (const std::string& subkey : subkeys) out += KeyName(root, path.empty() ? subkey : path + "\\" + subkey) + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

bool ParseDword(const std::string& text, std::string* data) {
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno != 0 || v < INT32_MIN || v > UINT32_MAX) return false;
  uint32_t u = static_cast<uint32_t>(v);
  *data = {static_cast<char>(u & 0xff), static_cast<char>((u >> 8) & 0xff),
           static_cast<char>((u >> 16) & 0xff), static_cast<char>(u >> 24)};
  return true;
}

bool ParseBinary(const std::string& text, std::string* data) {
  std::string digits;
  for (char c : text) {
    if (c == ',' || c == ' ' || c == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.size() % 2 != 0) return false;
  data->clear();
  for (size_t i = 0; i < digits.size(); i += 2) {
    data->push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return true;
}

int Set(Registry& store, char** args) {
  RegRoot root;
  std::string path;
  if (!Key(args[0], &root, &path)) return 2;
  std::string name = args[1], type = args[2], value = args[3], data;
  uint32_t reg_type;
  if (type == "string") {
    reg_type = logrum::platform::kRegString;
    if (value.find('\0') != std::string::npos) return Fail("a string cannot hold a NUL");
    data = value + '\0';
  } else if (type == "dword") {
    reg_type = logrum::platform::kRegDword;
    if (!ParseDword(value, &data)) return Fail("not a 32-bit number: " + value);
  } else if (type == "binary") {
    reg_type = logrum::platform::kRegBinary;
    if (!ParseBinary(value, &data)) return Fail("not hex bytes (like 0a0b or 0a,0b): " + value);
  } else {
    return Usage();
  }
  Status status = store.Update([&](RegistryTxn& txn) {
    Status s = txn.CreateKey(root, path, kNewKeyClass);
    return s.ok() ? txn.SetValue(root, path, name, reg_type, data) : s;
  });
  return status.ok() ? 0 : Fail(status.message());
}

int Delete(Registry& store, char** args, int count) {
  RegRoot root;
  std::string path;
  if (!Key(args[0], &root, &path)) return 2;
  Status status = count == 2 ? store.DeleteValue(root, path, args[1]) : store.DeleteKey(root, path);
  return status.ok() ? 0 : Fail(status.message());
}

int Export(Registry& store, const char* key_text, const std::string& file) {
  RegRoot root;
  std::string path;
  if (!Key(key_text, &root, &path)) return 2;
  std::string text;
  Status status =
      store.View([&](RegistryTxn& txn) { return ExportRegText(txn, root, path, &text); });
  if (!status.ok()) return Fail(status.message());
  if (file == "-") {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : Fail("cannot write standard output");
  }
  // Written beside the target and renamed over it, so a failed export never
  // leaves half a file where a good one was.
  std::string temp = file + ".tmp" + std::to_string(getpid());
  FILE* out = std::fopen(temp.c_str(), "wb");
  if (out == nullptr) return Fail(temp + ": " + std::strerror(errno));
  bool ok = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  ok = std::fflush(out) == 0 && ok;
  ok = fsync(fileno(out)) == 0 && ok;
  int saved = errno;
  ok = std::fclose(out) == 0 && ok;
  if (!ok || std::rename(temp.c_str(), file.c_str()) != 0) {
    if (ok) saved = errno;
    std::remove(temp.c_str());
    return Fail(file + ": " + std::strerror(saved));
  }
  return 0;
}

int Import(Registry& store, const std::string& file) {
  std::string text;
  if (file == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), {});
  } else {
    FILE* in = std::fopen(file.c_str(), "rb");
    if (in == nullptr) return Fail(file + ": " + std::strerror(errno));
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, n);
    bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) return Fail(file + ": read error");
  }
  std::string shown = file == "-" ? "(standard input)" : file;
  std::vector<RegOp> ops;
  int line = 0;
  if (Status parsed = ParseRegText(text, &ops, &line); !parsed.ok()) {
    return Fail(shown + ":" + std::to_string(line) + ": " + parsed.message() +
                "; nothing was imported");
  }
  Status status =
      store.Update([&](RegistryTxn& txn) { return ApplyRegOps(txn, ops, kNewKeyClass); });
  if (!status.ok()) return Fail(shown + ": " + status.message() + "; nothing was imported");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  int count = argc - 2;
  char** args = argv + 2;
  bool known = (command == "query" && count == 1) || (command == "set" && count == 4) ||
               (command == "delete" && (count == 1 || count == 2)) ||
               (command == "export" && count == 2) || (command == "import" && count == 1);
  if (!known) return Usage();

  // Owned here, so that the store is closed (and its log folded in) at exit.
  std::unique_ptr<Registry> store;
  if (Status status = Registry::OpenInStateFolder(&store); !status.ok()) {
    return Fail(status.message());
  }
  try {
    if (command == "query") return Query(*store, args[0]);
    if (command == "set") return Set(*store, args);
    if (command == "delete") return Delete(*store, args, count);
    if (command == "export") return Export(*store, args[0], args[1]);
    return Import(*store, args[0]);
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}
