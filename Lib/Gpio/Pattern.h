// The ON and OFF patterns of a logical input: traditional egrep expressions,
// checked against the input's own grammar and then handed to POSIX regcomp
// (REG_EXTENDED, plus REG_ICASE when the input is not case-sensitive) in a
// spelling that means the same to it.
//
// The grammar (what an automation engineer types):
//   pattern  = branch { "|" branch }          an empty branch matches ""
//   branch   = { piece }
//   piece    = atom [ "*" | "+" | "?" ]
//   atom     = "(" pattern ")" | "." | "^" | "$" | set | "\" char | char
//   set      = "[" ["^"] members "]"           "]" or "-" first is a member;
//                                             "x-y" a range; "-" before "]" a member
// Special characters are exactly ^ $ . [ ( ) | ? + * and backslash.
//
// Where this differs from POSIX ERE (and so from a plain regcomp):
//  - "{" and "}" are ordinary characters; "a{2}" matches the text "a{2}".
//  - "\" followed by any character stands for that character ("\w" is "w",
//    "\<" is "<"); glibc would read some of these as GNU operators. A "\" at
//    the very end is an error.
//  - Inside brackets "[:alpha:]", "[.x.]" and "[=x=]" are plain members,
//    not classes; a backslash inside brackets is a member, as in POSIX.
//  - A range whose end is below its start ("[z-a]") is an error. A range that
//    follows another ("[a-c-e]") starts at the previous range's end.
//  - Errors that POSIX lets through: two quantifiers in a row ("a**", "a*?"),
//    "*" or "+" after something that can match the empty text ("(a*)*",
//    "^*", "()+"), a quantifier at the start of a pattern, branch or group
//    ("*a", "a|+b", "(?a)"), more than 9 groups, an unmatched ")".
//  - Case: when not case-sensitive, the letters a-z of both the pattern and
//    each line are turned to upper case before compiling and searching (so
//    "[Z-a]" becomes the error "[Z-A]"); REG_ICASE is set as well and changes
//    nothing further. Other bytes compare exactly.
//  - A line is searched up to its first NUL byte.
//
// Thread safety: a compiled Pattern may be searched from one thread at a time
// (it is owned by its input's reader thread); CompileError and TestRule are
// free functions without state.
#pragma once

#include <regex.h>

#include <memory>
#include <string>
#include <string_view>

namespace logrum::gpio {

// The error of the first rule that `pattern` breaks, or "" when it is valid.
// On success *ere (when given) receives the same pattern in POSIX ERE form.
std::string TranslatePattern(std::string_view pattern, std::string* ere);

// Upper-cases a-z only (the pattern and line rule for case-insensitive inputs).
std::string UpperAscii(std::string_view text);

class Pattern {
 public:
  Pattern() = default;
  ~Pattern();
  Pattern(const Pattern&) = delete;
  Pattern& operator=(const Pattern&) = delete;

  // Compiles `text`; false (and the pattern never matches) when it breaks the
  // grammar. error() then says which rule.
  bool Compile(std::string_view text, bool case_sensitive);
  // True when the compiled pattern matches somewhere in `line`.
  bool Search(std::string_view line) const;

  bool compiled() const { return compiled_; }
  const std::string& error() const { return error_; }

 private:
  void Free();

  regex_t regex_{};
  bool compiled_ = false;
  bool case_sensitive_ = true;
  std::string error_;
};

// The dialog's Test rule: "ON", "OFF", "both!!!", "no match!", or the parse
// message of the first pattern (ON first) that does not compile.
std::string TestRule(std::string_view on_pattern, std::string_view off_pattern,
                     bool case_sensitive, std::string_view text);

inline constexpr char kOnParseError[] =
    "Error: Unable to parse the ON pattern! Please check the string and try again.";
inline constexpr char kOffParseError[] =
    "Error: Unable to parse the OFF pattern! Please check the string and try again.";

}  // namespace logrum::gpio
