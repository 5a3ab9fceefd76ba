#include "Tools/logrum-reg/RegText.h"

#include <cstdio>

namespace logrum::tools {
namespace {

using platform::RegRoot;
using platform::Status;

constexpr char kHeader5[] = "Windows Registry Editor Version 5.00";
constexpr char kHeader4[] = "REGEDIT4";
constexpr size_t kWrapColumn = 76;

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to `most` hex digits.
bool ParseHex32(std::string_view digits, size_t most, uint32_t* value) {
  if (digits.empty() || digits.size() > most) return false;
  uint32_t result = 0;
  for (char c : digits) {
    if (HexDigit(c) < 0) return false;
    result = result * 16 + static_cast<uint32_t>(HexDigit(c));
  }
  *value = result;
  return true;
}

// UTF-16LE text (after its byte order mark) as UTF-8.
std::string FromUtf16(std::string_view bytes) {
  std::string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t c = static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (c >= 0xd800 && c < 0xdc00 && i + 3 < bytes.size()) {
      uint32_t low = static_cast<uint8_t>(bytes[i + 2]) | static_cast<uint8_t>(bytes[i + 3]) << 8;
      if (low >= 0xdc00 && low < 0xe000) {
        c = 0x10000 + ((c - 0xd800) << 10) + (low - 0xdc00);
        i += 2;
      }
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xc0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xe0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
      out += static_cast<char>(0xf0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (c & 0x3f));
    }
  }
  return out;
}

// The one kind of failure of reading a file: what is wrong with a line.
Status Invalid(std::string message) {
  return Status::Error(Status::kInvalidArgument, std::move(message));
}

// Checks a key path the way the store will, so that a bad name is refused with
// its line number before anything is written.
Status CheckPath(std::string_view path) {
  if (path.empty()) return Status::Ok();
  if (path.back() == '\\') path.remove_suffix(1);
  while (true) {
    size_t slash = path.find('\\');
    std::string_view name = path.substr(0, slash);
    if (name.empty()) {
      return Invalid("empty key name in the path");
    }
    if (name.size() > 255) {
      return Invalid("key name longer than 255 bytes");
    }
    if (slash == std::string_view::npos) return Status::Ok();
    path.remove_prefix(slash + 1);
  }
}

// Reads a quoted string at the start of `s` ("..." with \\ and \" escapes).
Status ReadQuoted(std::string_view* s, std::string* out) {
  if (s->empty() || s->front() != '"') {
    return Invalid("expected a double quote");
  }
  out->clear();
  for (size_t i = 1; i < s->size(); ++i) {
    char c = (*s)[i];
    if (c == '"') {
      s->remove_prefix(i + 1);
      return Status::Ok();
    }
    if (c == '\\') {
      if (i + 1 >= s->size() || ((*s)[i + 1] != '\\' && (*s)[i + 1] != '"')) {
        return Invalid("a backslash in quotes must be written \\\\ (or \\\" for a quote)");
      }
      c = (*s)[++i];
    }
    *out += c;
  }
  return Invalid("missing closing double quote");
}

Status ParseHexBytes(std::string_view s, std::string* out) {
  out->clear();
  s = Trim(s);
  if (s.empty()) return Status::Ok();
  while (true) {
    s = Trim(s);
    size_t comma = s.find(',');
    std::string_view item = Trim(s.substr(0, comma));
    uint32_t value = 0;
    if (!ParseHex32(item, 2, &value)) {
      return Invalid("malformed hex byte \"" + std::string(item) + "\"");
    }
    out->push_back(static_cast<char>(value));
    if (comma == std::string_view::npos) return Status::Ok();
    s.remove_prefix(comma + 1);
  }
}

// Names go on one line: no control characters.
bool OneLine(std::string_view name) {
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  return true;
}

std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

// Whether a string value can be written in quotes and read back to the same
// bytes: text, one terminating NUL, and nothing a line could not carry.
bool Quotable(std::string_view data) {
  if (data.empty() || data.back() != '\0') return false;
  data.remove_suffix(1);
  for (char c : data) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

void AppendHex(std::string* text, std::string line, std::string_view data) {
  char byte[4];
  for (size_t i = 0; i < data.size(); ++i) {
    std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(data[i]));
    line += byte;
    if (i + 1 < data.size()) {
      line += ',';
      if (line.size() >= kWrapColumn) {
        *text += line + "\\\n";
        line = "  ";
      }
    }
  }
  *text += line + "\n";
}

}  // namespace

bool ParseKeyName(std::string_view text, RegRoot* root, std::string* path) {
  size_t slash = text.find('\\');
  std::string_view head = text.substr(0, slash);
  if (EqualNoCase(head, "HKEY_LOCAL_MACHINE") || EqualNoCase(head, "HKLM")) {
    *root = RegRoot::kLocalMachine;
  } else if (EqualNoCase(head, "HKEY_CURRENT_USER") || EqualNoCase(head, "HKCU")) {
    *root = RegRoot::kCurrentUser;
  } else {
    return false;
  }
  *path = slash == std::string_view::npos ? std::string() : std::string(text.substr(slash + 1));
  return true;
}

std::string KeyName(RegRoot root, std::string_view path) {
  std::string name = platform::RegRootName(root);
  if (!path.empty()) name += "\\" + std::string(path);
  return name;
}

namespace {

// The lines of a text, numbered from 1, without their line ends.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}
  bool Next(std::string_view* line) {
    if (pos_ >= text_.size()) return false;
    size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    *line = text_.substr(pos_, end - pos_);
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    pos_ = end + 1;
    ++number_;
    return true;
  }
  // The number of the line read last; 0 before the first.
  int number() const { return number_; }

 private:
  std::string_view text_;
  size_t pos_ = 0;
  int number_ = 0;
};

// The text without its byte order mark; UTF-16 text is converted into *converted.
std::string_view WithoutByteOrderMark(std::string_view input, std::string* converted) {
  if (input.substr(0, 2) == "\xff\xfe") {
    *converted = FromUtf16(input.substr(2));
    return *converted;
  }
  if (input.substr(0, 3) == "\xef\xbb\xbf") input.remove_prefix(3);
  return input;
}

// "[root\path]" creates a key, "[-root\path]" deletes it.
Status ParseKeyLine(std::string_view line, RegOp* op) {
  if (line.back() != ']') return Invalid("a key line must end with ]");
  std::string_view name = line.substr(1, line.size() - 2);
  const bool remove = !name.empty() && name.front() == '-';
  if (remove) name.remove_prefix(1);
  const std::string_view head = name.substr(0, name.find('\\'));
  if (!(EqualNoCase(head, "HKEY_LOCAL_MACHINE") || EqualNoCase(head, "HKEY_CURRENT_USER")) ||
      !ParseKeyName(name, &op->root, &op->path)) {
    return Invalid("unknown key root in [" + std::string(name) +
                   "]: use HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER");
  }
  if (Status status = CheckPath(op->path); !status.ok()) return status;
  if (remove && op->path.empty()) return Invalid("a root key cannot be deleted");
  op->kind = remove ? RegOp::kDeleteKey : RegOp::kCreateKey;
  return Status::Ok();
}

// `line` with the lines that continue it (each but the last ends in a
// backslash) joined; false when the text ends inside them.
bool JoinContinued(std::string_view line, LineReader* lines, std::string* joined) {
  joined->assign(line);
  while (!joined->empty() && joined->back() == '\\') {
    joined->pop_back();
    std::string_view more;
    if (!lines->Next(&more)) return false;
    *joined += std::string(Trim(more));
  }
  return true;
}

// What follows "hex": an optional "(type)", then ':' and the bytes.
Status ParseHexData(std::string_view rest, RegOp* op) {
  uint32_t type = platform::kRegBinary;
  if (!rest.empty() && rest.front() == '(') {
    const size_t close = rest.find(')');
    if (close == std::string_view::npos || !ParseHex32(rest.substr(1, close - 1), 8, &type)) {
      return Invalid("malformed hex(type)");
    }
    rest.remove_prefix(close + 1);
  }
  if (rest.empty() || rest.front() != ':') return Invalid("expected : after hex");
  if (Status status = ParseHexBytes(rest.substr(1), &op->data); !status.ok()) return status;
  if (type == platform::kRegDword && op->data.size() != 4) {
    return Invalid("a dword value must be 4 bytes");
  }
  op->kind = RegOp::kSetValue;
  op->type = type;
  return Status::Ok();
}

// What follows "name=": -, "text", dword:digits, hex:bytes or hex(type):bytes.
Status ParseValueData(std::string_view rest, RegOp* op) {
  if (rest == "-") {
    op->kind = RegOp::kDeleteValue;
    return Status::Ok();
  }
  if (!rest.empty() && rest.front() == '"') {
    std::string text;
    if (Status status = ReadQuoted(&rest, &text); !status.ok()) {
      return Invalid("string: " + status.message());
    }
    if (!Trim(rest).empty()) return Invalid("text after the closing double quote");
    op->kind = RegOp::kSetValue;
    op->type = platform::kRegString;
    op->data = text;
    op->data.push_back('\0');
    return Status::Ok();
  }
  if (rest.substr(0, 6) == "dword:") {
    uint32_t value = 0;
    if (!ParseHex32(rest.substr(6), 8, &value)) {
      return Invalid("a dword needs 1 to 8 hex digits");
    }
    op->kind = RegOp::kSetValue;
    op->type = platform::kRegDword;
    op->data = {static_cast<char>(value & 0xff), static_cast<char>((value >> 8) & 0xff),
                static_cast<char>((value >> 16) & 0xff), static_cast<char>(value >> 24)};
    return Status::Ok();
  }
  if (rest.substr(0, 3) == "hex") return ParseHexData(rest.substr(3), op);
  return Invalid("unrecognised value: expected \"text\", dword:, hex:, hex(n): or -");
}

// A whole value line: "name"=data, or @=data for the key's default value.
Status ParseValueLine(std::string_view line, RegOp* op) {
  if (line.front() == '@') {
    line.remove_prefix(1);
  } else if (Status status = ReadQuoted(&line, &op->name); !status.ok()) {
    return Invalid("value name: " + status.message());
  }
  line = Trim(line);
  if (line.empty() || line.front() != '=') return Invalid("expected = after the value name");
  line = Trim(line.substr(1));
  if (op->name.size() > 16383) return Invalid("value name longer than 16383 bytes");
  return ParseValueData(line, op);
}

}  // namespace

Status ParseRegText(std::string_view input, std::vector<RegOp>* ops, int* error_line) {
  ops->clear();
  std::string converted;
  LineReader lines(WithoutByteOrderMark(input, &converted));
  auto fail = [&](int line, const std::string& message) {
    if (error_line != nullptr) *error_line = line;
    return Invalid(message);
  };

  bool have_header = false;
  bool have_key = false;
  bool key_deleted = false;
  RegOp key;  // the last [key] line: where the values below it go
  std::string_view raw;
  while (lines.Next(&raw)) {
    const std::string_view line = Trim(raw);
    if (line.empty()) continue;
    if (!have_header) {
      if (line != kHeader5 && line != kHeader4) {
        return fail(lines.number(), std::string("expected \"") + kHeader5 + "\" as the first line");
      }
      have_header = true;
      continue;
    }
    if (line.front() == ';') continue;
    const int first_line = lines.number();

    if (line.front() == '[') {
      RegOp op;
      op.line = first_line;
      if (Status status = ParseKeyLine(line, &op); !status.ok()) {
        return fail(first_line, status.message());
      }
      key = op;
      have_key = true;
      key_deleted = op.kind == RegOp::kDeleteKey;
      ops->push_back(std::move(op));
      continue;
    }

    std::string joined;
    if (!JoinContinued(line, &lines, &joined)) {
      return fail(lines.number(), "the file ends inside a continued line");
    }
    if (!have_key) return fail(first_line, "a value before the first [key] line");
    if (key_deleted) return fail(first_line, "a value for a key that this file deletes");
    RegOp op;
    op.root = key.root;
    op.path = key.path;
    op.line = first_line;
    if (Status status = ParseValueLine(joined, &op); !status.ok()) {
      return fail(first_line, status.message());
    }
    ops->push_back(std::move(op));
  }
  if (!have_header) return fail(lines.number() == 0 ? 1 : lines.number(), "empty file");
  return Status::Ok();
}

Status ApplyRegOps(platform::RegistryTxn& txn, const std::vector<RegOp>& ops,
                   std::string_view class_name) {
  for (const RegOp& op : ops) {
    Status status;
    switch (op.kind) {
      case RegOp::kCreateKey:
        status = txn.CreateKey(op.root, op.path, class_name);
        break;
      case RegOp::kDeleteKey:
        status = txn.DeleteKey(op.root, op.path);
        if (status.IsNotFound()) status = Status::Ok();
        break;
      case RegOp::kSetValue:
        status = txn.SetValue(op.root, op.path, op.name, op.type, op.data);
        break;
      case RegOp::kDeleteValue:
        status = txn.DeleteValue(op.root, op.path, op.name);
        if (status.IsNotFound()) status = Status::Ok();
        break;
    }
    if (!status.ok()) {
      return Status::Error(status.code(),
                           "line " + std::to_string(op.line) + ": " + status.message());
    }
  }
  return Status::Ok();
}

Status ExportRegText(platform::RegistryTxn& txn, RegRoot root, std::string_view path,
                     std::string* text) {
  if (text->empty()) *text = std::string(kHeader5) + "\n\n";
  // Depth first, iteratively: the stack holds keys still to write, next on top.
  std::vector<std::string> pending{std::string(path)};
  while (!pending.empty()) {
    std::string key = std::move(pending.back());
    pending.pop_back();
    std::vector<platform::RegValue> values;
    if (Status s = txn.ListValues(root, key, &values); !s.ok()) return s;
    if (!OneLine(key)) {
      return Status::Error(Status::kInvalidArgument, KeyName(root, key) +
                                                         ": a key name with control characters "
                                                         "cannot be written as .reg text");
    }
    *text += "[" + KeyName(root, key) + "]\n";
    for (const platform::RegValue& value : values) {
      if (!OneLine(value.name)) {
        return Status::Error(Status::kInvalidArgument, KeyName(root, key) +
                                                           ": a value name with control characters "
                                                           "cannot be written as .reg text");
      }
      std::string head = value.name.empty() ? "@=" : Quote(value.name) + "=";
      if (value.type == platform::kRegString && Quotable(value.data)) {
        *text += head + Quote(std::string_view(value.data).substr(0, value.data.size() - 1)) + "\n";
      } else if (value.type == platform::kRegDword && value.data.size() == 4) {
        char digits[16];
        uint32_t v = static_cast<uint8_t>(value.data[0]) |
                     static_cast<uint32_t>(static_cast<uint8_t>(value.data[1])) << 8 |
                     static_cast<uint32_t>(static_cast<uint8_t>(value.data[2])) << 16 |
                     static_cast<uint32_t>(static_cast<uint8_t>(value.data[3])) << 24;
        std::snprintf(digits, sizeof digits, "%08x", v);
        *text += head + "dword:" + digits + "\n";
      } else if (value.type == platform::kRegBinary) {
        AppendHex(text, head + "hex:", value.data);
      } else {
        char type[24];
        std::snprintf(type, sizeof type, "hex(%x):", value.type);
        AppendHex(text, head + type, value.data);
      }
    }
    *text += "\n";
    std::vector<std::string> subkeys;
    if (Status s = txn.ListSubkeys(root, key, &subkeys); !s.ok()) return s;
    for (auto it = subkeys.rbegin(); it != subkeys.rend(); ++it) {
      pending.push_back(key.empty() ? *it : key + "\\" + *it);
    }
  }
  return Status::Ok();
}

}  // namespace logrum::tools
