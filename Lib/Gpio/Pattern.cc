#include "Lib/Gpio/Pattern.h"

#include <bitset>

namespace logrum::gpio {
namespace {

constexpr int kMaxGroups = 9;

// Recursive descent over the input's grammar, writing the ERE as it goes.
// Each parse step returns whether what it read always consumes at least one
// character ("has width"), which decides whether "*" and "+" may follow.
class Translator {
 public:
  explicit Translator(std::string_view text) : text_(text) {}

  std::string Run(std::string* ere) {
    bool width = false;
    if (!Alternatives(&width)) return error_;
    if (pos_ < text_.size()) return text_[pos_] == ')' ? "unmatched ()" : "junk on end";
    if (ere != nullptr) *ere = std::move(out_);
    return "";
  }

 private:
  bool Fail(const char* why) {
    if (error_.empty()) error_ = why;
    return false;
  }
  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
  static bool IsQuantifier(char c) { return c == '*' || c == '+' || c == '?'; }

  // branch { "|" branch }; width only when every branch has width.
  bool Alternatives(bool* width) {
    *width = true;
    for (;;) {
      bool branch_width = false;
      if (!Branch(&branch_width)) return false;
      if (!branch_width) *width = false;
      if (Peek() != '|') return true;
      ++pos_;
      out_ += '|';
    }
  }

  bool Branch(bool* width) {
    *width = false;
    while (!AtEnd() && Peek() != '|' && Peek() != ')') {
      bool piece_width = false;
      if (!Piece(&piece_width)) return false;
      if (piece_width) *width = true;
    }
    return true;
  }

  bool Piece(bool* width) {
    if (!Atom(width)) return false;
    char op = Peek();
    if (!IsQuantifier(op)) return true;
    if (op != '?' && !*width) return Fail("*+ operand could be empty");
    ++pos_;
    out_ += op;
    if (op != '+') *width = false;
    if (IsQuantifier(Peek())) return Fail("nested *?+");
    return true;
  }

  bool Atom(bool* width) {
    char c = text_[pos_++];
    *width = true;
    switch (c) {
      case '(': {
        if (++groups_ > kMaxGroups) return Fail("too many ()");
        out_ += '(';
        if (!Alternatives(width)) return false;
        if (Peek() != ')') return Fail("unmatched ()");
        ++pos_;
        out_ += ')';
        return true;
      }
      case '.':
        out_ += '.';
        return true;
      case '^':
      case '$':
        out_ += c;
        *width = false;
        return true;
      case '[':
        return Set();
      case '*':
      case '+':
      case '?':
        return Fail("?+* follows nothing");
      case '\\':
        if (AtEnd()) return Fail("trailing \\");
        Literal(text_[pos_++]);
        return true;
      default:
        Literal(c);
        return true;
    }
  }

  void Literal(char c) {
    switch (c) {
      case '.': case '[': case '(': case ')': case '|': case '?':
      case '+': case '*': case '{': case '}': case '$': case '\\':
        out_ += '[';
        out_ += c;
        out_ += ']';
        break;
      case '^':
        out_ += "\\^";
        break;
      default:
        out_ += c;
    }
  }

  bool Set() {
    std::bitset<256> members;
    bool negate = false;
    if (Peek() == '^') {
      negate = true;
      ++pos_;
    }
    if (Peek() == ']' || Peek() == '-') members.set(static_cast<unsigned char>(text_[pos_++]));
    while (!AtEnd() && Peek() != ']') {
      if (Peek() == '-') {
        ++pos_;
        if (AtEnd() || Peek() == ']') {
          members.set('-');
          continue;
        }
        // The range starts after the character before the minus sign (which
        // is already a member), so "[a-c-e]" is a-c and c-e.
        unsigned first = static_cast<unsigned char>(text_[pos_ - 2]) + 1;
        unsigned last = static_cast<unsigned char>(text_[pos_]);
        if (first > last + 1) return Fail("invalid [] range");
        for (unsigned m = first; m <= last; ++m) members.set(m);
        ++pos_;
      } else {
        members.set(static_cast<unsigned char>(text_[pos_++]));
      }
    }
    if (AtEnd()) return Fail("unmatched []");
    ++pos_;
    members.reset(0);

    if (!negate && members.count() == 1) {
      for (unsigned m = 1; m < 256; ++m) {
        if (members.test(m)) Literal(static_cast<char>(m));
      }
      return true;
    }
    // Order the members so that none of them reads as bracket syntax:
    // "]" first, "[" late (never before ":", "." or "="), "^" never first,
    // "-" last.
    std::string list;
    if (members.test(']')) list += ']';
    for (unsigned m = 1; m < 256; ++m) {
      if (m == ']' || m == '[' || m == '^' || m == '-') continue;
      if (members.test(m)) list += static_cast<char>(m);
    }
    if (members.test('[')) list += '[';
    if (members.test('^')) list += '^';
    if (members.test('-')) list += '-';
    if (!negate && list == "^-") list = "-^";
    out_ += negate ? "[^" : "[";
    out_ += list;
    out_ += ']';
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
  int groups_ = 0;
  std::string out_;
  std::string error_;
};

}  // namespace

std::string TranslatePattern(std::string_view pattern, std::string* ere) {
  return Translator(pattern).Run(ere);
}

std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

Pattern::~Pattern() { Free(); }

void Pattern::Free() {
  if (compiled_) regfree(&regex_);
  compiled_ = false;
}

bool Pattern::Compile(std::string_view text, bool case_sensitive) {
  Free();
  case_sensitive_ = case_sensitive;
  // The stored text ends at its first NUL, as the configuration keeps it.
  text = text.substr(0, text.find('\0'));
  std::string source = case_sensitive ? std::string(text) : UpperAscii(text);
  std::string ere;
  error_ = TranslatePattern(source, &ere);
  if (!error_.empty()) return false;
  int flags = REG_EXTENDED | REG_NOSUB | (case_sensitive ? 0 : REG_ICASE);
  int code = regcomp(&regex_, ere.c_str(), flags);
  if (code != 0) {
    char message[128];
    regerror(code, &regex_, message, sizeof message);
    error_ = message;
    return false;
  }
  compiled_ = true;
  return true;
}

bool Pattern::Search(std::string_view line) const {
  if (!compiled_) return false;
  std::string text(line.substr(0, line.find('\0')));
  if (!case_sensitive_) text = UpperAscii(text);
  return regexec(&regex_, text.c_str(), 0, nullptr, 0) == 0;
}

std::string TestRule(std::string_view on_pattern, std::string_view off_pattern,
                     bool case_sensitive, std::string_view text) {
  Pattern on, off;
  if (!on.Compile(on_pattern, case_sensitive)) return kOnParseError;
  if (!off.Compile(off_pattern, case_sensitive)) return kOffParseError;
  bool is_on = on.Search(text), is_off = off.Search(text);
  if (is_on && is_off) return "both!!!";
  if (is_on) return "ON";
  if (is_off) return "OFF";
  return "no match!";
}

}  // namespace logrum::gpio
