// The .reg text form of the configuration store, as station engineers know it:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\Software\Norvane Systems\Logrum2\Server]
//   "ServerPort"=dword:00002334
//   "Name"="text with \"quotes\" and \\ backslashes"
//   "Blob"=hex:0a,0b
//   "Other"=hex(7):61,00,00,00
//   @="the key's default value"
//   "Gone"=-
//
//   [-HKEY_LOCAL_MACHINE\Software\Old]
//
// Export writes keys depth first with subkeys and values in the store's
// (creation) order, "\n" line ends, hex lines wrapped with ",\" as regedit does,
// and a string as hex(1) whenever quoting could not give back its exact bytes.
// So an export imported into an empty store exports again byte for byte.
// Import reads that form (also REGEDIT4, CRLF line ends, a UTF-8 or UTF-16LE
// byte order mark, ';' comments) and refuses the whole file at the first
// malformed line.
//
// Thread safety: plain functions; the store calls follow Registry's rules.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Lib/Platform/Registry.h"

namespace logrum::tools {

// "HKEY_LOCAL_MACHINE\path", "HKEY_CURRENT_USER\path" (any case), the short
// forms HKLM and HKCU, or a root alone. False for anything else.
bool ParseKeyName(std::string_view text, platform::RegRoot* root, std::string* path);
std::string KeyName(platform::RegRoot root, std::string_view path);

// One change read from a .reg file.
struct RegOp {
  enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue };
  Kind kind = kCreateKey;
  platform::RegRoot root = platform::RegRoot::kLocalMachine;
  std::string path;
  std::string name;  // values only
  uint32_t type = 0;
  std::string data;
  int line = 0;  // where it was read, for messages
};

// Parses a whole file. On a malformed line returns kInvalidArgument saying
// what is wrong with it, its number in *error_line (which may be null) for
// the caller to put beside the file's name, and *ops unusable.
platform::Status ParseRegText(std::string_view text, std::vector<RegOp>* ops, int* error_line);

// Applies parsed changes inside one transaction. New keys get `class_name`.
// Deleting a missing key or value is not an error (the file wants it gone).
platform::Status ApplyRegOps(platform::RegistryTxn& txn, const std::vector<RegOp>& ops,
                             std::string_view class_name);

// Appends the key, its values and its whole subtree to *text (header included
// when *text is empty).
platform::Status ExportRegText(platform::RegistryTxn& txn, platform::RegRoot root,
                               std::string_view path, std::string* text);

}  // namespace logrum::tools
