// The pattern language of the logical inputs: the test rule on a table of
// patterns and lines, the grammar's errors, and where it parts from POSIX ERE.
#include <gtest/gtest.h>

#include "Lib/Gpio/Pattern.h"

namespace logrum::gpio {
namespace {

struct RuleCase {
  const char* on;
  const char* off;
  bool case_sensitive;
  const char* line;
  const char* result;
};

class TestRuleTable : public ::testing::TestWithParam<RuleCase> {};

TEST_P(TestRuleTable, GivesTheDialogsAnswer) {
  const RuleCase& c = GetParam();
  EXPECT_EQ(TestRule(c.on, c.off, c.case_sensitive, c.line), c.result)
      << "ON '" << c.on << "' OFF '" << c.off << "' line '" << c.line << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, TestRuleTable,
    ::testing::Values(
        // Switching on the words a playout system prints.
        RuleCase{"MIC ON", "MIC OFF", false, "MIC ON", "ON"},
        RuleCase{"MIC ON", "MIC OFF", false, "MIC OFF", "OFF"},
        RuleCase{"MIC ON", "MIC OFF", false, "mic on", "ON"},
        RuleCase{"MIC ON", "MIC OFF", true, "mic on", "no match!"},
        RuleCase{"mic on", "MIC OFF", false, "Mic On now", "ON"},
        RuleCase{"^ON$", "^OFF$", false, "ON AIR", "no match!"},
        RuleCase{"ON", "^OFF$", false, "ON AIR", "ON"},
        RuleCase{"ON", "AIR", false, "ON AIR", "both!!!"},
        RuleCase{"", "x", false, "anything", "ON"},
        RuleCase{"", "x", false, "x", "both!!!"},
        // Errors: the ON pattern is compiled first.
        RuleCase{"a**", "b", false, "a", kOnParseError},
        RuleCase{"a", "(b", false, "a", kOffParseError},
        RuleCase{"[z-a]", "[z-a]", false, "a", kOnParseError},
        // Case: both sides are upper-cased, so a range can turn round.
        RuleCase{"[Z-a]", "x", true, "_", "ON"},
        RuleCase{"[Z-a]", "x", false, "_", kOnParseError},
        // Where the language differs from POSIX ERE.
        RuleCase{"a{2}", "aa", true, "a{2}", "ON"},
        RuleCase{"a{2}", "x", true, "aa", "no match!"},
        RuleCase{"\\w", "x", true, "w", "ON"},
        RuleCase{"\\w", "x", true, "_", "no match!"},
        RuleCase{"\\<b", "x", true, "a<b", "ON"},
        RuleCase{"[[:digit:]]", "x", true, "5", "no match!"},
        RuleCase{"[[:digit:]]", "x", true, ":]", "ON"},
        RuleCase{"[a-c-e]", "x", true, "d", "ON"},
        RuleCase{"[]x]", "q", true, "]", "ON"},
        RuleCase{"[^]x]", "q", true, "]", "no match!"},
        RuleCase{"[-a]", "q", true, "-", "ON"},
        RuleCase{"[a-]", "q", true, "-", "ON"},
        RuleCase{"[^^]", "q", true, "^", "no match!"},
        RuleCase{"[-^]", "q", true, "^", "ON"},
        RuleCase{"[\\]", "q", true, "\\", "ON"},
        RuleCase{"a\\.b", "q", true, "azb", "no match!"},
        RuleCase{"a.b", "q", true, "azb", "ON"},
        RuleCase{"(GO|START)+ NOW", "STOP", true, "GOSTART NOW", "ON"},
        RuleCase{"a|", "q", true, "zzz", "ON"},
        RuleCase{"x?y", "q", true, "y", "ON"}));

TEST(PatternGrammarTest, RejectsWhatTheLanguageForbids) {
  const struct {
    const char* pattern;
    const char* error;
  } cases[] = {
      {"a**", "nested *?+"},
      {"a*?", "nested *?+"},
      {"a?+", "nested *?+"},
      {"*a", "?+* follows nothing"},
      {"a|+b", "?+* follows nothing"},
      {"(?a)", "?+* follows nothing"},
      {"(a*)*", "*+ operand could be empty"},
      {"(a|)+", "*+ operand could be empty"},
      {"()*", "*+ operand could be empty"},
      {"^*", "*+ operand could be empty"},
      {"(a", "unmatched ()"},
      {"a)", "unmatched ()"},
      {"[abc", "unmatched []"},
      {"[]", "unmatched []"},
      {"abc\\", "trailing \\"},
      {"[c-a]", "invalid [] range"},
      {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)", "too many ()"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TranslatePattern(c.pattern, nullptr), c.error) << c.pattern;
    Pattern compiled;
    EXPECT_FALSE(compiled.Compile(c.pattern, true)) << c.pattern;
    EXPECT_FALSE(compiled.Search("anything")) << "a pattern that failed never matches";
  }
  for (const char* valid : {"(a+)*", "(a)(b)(c)(d)(e)(f)(g)(h)(i)", "[a-a]", "", "x?",
                            "()", "((a|b)c)+"}) {
    EXPECT_EQ(TranslatePattern(valid, nullptr), "") << valid;
  }
}

TEST(PatternSearchTest, ALineIsSearchedUpToItsFirstNul) {
  Pattern pattern;
  ASSERT_TRUE(pattern.Compile("ON", false));
  EXPECT_TRUE(pattern.Search(std::string_view("xx on", 5)));
  EXPECT_FALSE(pattern.Search(std::string_view("xx\0on", 5)));
}

}  // namespace
}  // namespace logrum::gpio
