#include "basParser.h"

#include <gtest/gtest.h>

#include "condition_cases.h"

#include <cmath>
#include <string>
#include <vector>

namespace drossgate::common {
namespace test {

// Found by argument-dependent lookup, so failures show the row's texts.
static void PrintTo(const MatchCase& c, std::ostream* os) {
  *os << testing::PrintToString(c.value) << " vs " << testing::PrintToString(c.pattern);
}

}  // namespace test
namespace {

using test::MatchCase;

std::string CaseName(const testing::TestParamInfo<MatchCase>& info) {
  return info.param.name;
}

// The whole condition test, including the caller's prefix step.
class Condition : public testing::TestWithParam<MatchCase> {};

TEST_P(Condition, Result) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(ConditionTest(c.value, c.pattern), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Examples, Condition, testing::ValuesIn(test::ConditionExamples()),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(Edges, Condition, testing::ValuesIn(test::ConditionEdges()), CaseName);

// The wildcard comparison on its own.
class Wildcards : public testing::TestWithParam<MatchCase> {};

TEST_P(Wildcards, Result) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(WildcardMatch(c.value, c.pattern), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Semantics, Wildcards,
                         testing::ValuesIn(std::vector<MatchCase>{
                             {"StarMatchesNothing", "", "*", true},
                             {"EmptyPatternNeedsEmptyValue", "a", "", false},
                             {"WholeValueMustMatch", "abc", "ab", false},
                             {"QuestionMarkNotZero", "ac", "a?c", false},
                             {"HashDigit", "a5c", "a#c", true},
                             {"HashNotLetter", "abc", "a#c", false},
                             {"ListCaseIgnored", "B", "[abc]", true},
                             {"RangeAndLetters", "5", "[a-c0-9]", true},
                             {"NegatedListMember", "a", "[!abc]", false},
                             {"DashFirstIsLiteral", "-", "[-a]", true},
                             {"DashAfterNegationIsLiteral", "b", "[!-a]", true},
                             // Found: "[--D]" was read as the two characters "-" and "D",
                             // and "[!]" matched any character.
                             {"DashStartsARange", "A", "[--D]", true},
                             {"DashRangeEndsAtItsBound", "E", "[--D]", false},
                             {"NegatedDashRange", "E", "[!--D]", true},
                             {"NegatedDashRangeMember", "0", "[!--D]", false},
                             {"LoneBangIsTheCharacter", "!", "[!]", true},
                             {"LoneBangIsNoNegation", "a", "[!]", false},
                             {"ListTakesOneCharacter", "ab", "[ab]", false},
                             {"EmptyListMatchesNothing", "ab", "a[]b", true},
                             {"UnclosedBracket", "[abc", "[abc", false},
                             {"UnclosedBracketSpoilsMatchBefore", "ab", "ab*[", false},
                             {"DescendingRange", "m", "[z-a]", false},
                             {"ClosingBracketAloneIsLiteral", "]", "]", true},
                             {"StarsBacktrack", "mississippi", "m*iss*ppi", true},
                             {"StarsBacktrackAndFail", "mississippi", "*issip*ss*", false},
                             {"StarFindsLetterInOtherCase", "xyzQ", "*q", true},
                             {"StarPassesMultiByteChars", "\xC3\xA9\xE2\x82\xAC!", "*!", true},
                         }),
                         CaseName);

// UTF-8: one multi-byte character is one character, invalid bytes one each.
INSTANTIATE_TEST_SUITE_P(
    Utf8, Wildcards,
    testing::ValuesIn(std::vector<MatchCase>{
        {"QuestionMarkTakesFourByteChar", "\xF0\x9F\x98\x80", "?", true},
        {"ThreeByteCharIsNotThreeCharacters", "\xE2\x82\xAC", "???", false},
        {"ListHoldsMultiByteChar", "\xC3\xA9", "[a\xC3\xA9]", true},
        {"NegatedListExcludesMultiByteChar", "\xC3\xA9", "[!\xC3\xA9]", false},
        {"RangeOverMultiByteChars", "\xC3\xA9", "[\xC3\xA0-\xC3\xBF]", true},
        {"AccentedLettersNotFolded", "\xC3\xA9", "\xC3\x89", false},
        // 0xF8 starts no sequence: "\xF8\x80\x80" is three characters, never U+8000.
        {"LeadByteF8IsNotAThreeByteSequence", "\xF8\x80\x80", "\xE8\x80\x80", false},
        {"LeadByteF5CountsAlone", "\xF5\x80\x80\x80", "????", true},
        {"InvalidByteIsNotAnyCodePoint", "\xFF", "[\xC3\xBF]", false},
    }),
    CaseName);

// Text without pattern characters matches itself, as a literal and inside stars, and has as
// many characters as "?"s when counted as UTF-8 (invalid, truncated, overlong and surrogate
// forms count one character per byte).
TEST(Utf8, TextNeverMismatchesItself) {
  const std::vector<std::pair<std::string, size_t>> samples = {
      {"Gr\xC3\xBC\xC3\x9F!", 5},
      {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 2},
      {"\xFF\xFE\xC3", 3},
      {"\xE2\x82!", 3},
      {"\xC0\xAF", 2},
      {"\xED\xA0\x80", 3},
      {"mixed \xC3\xA9\x80\xE2\x82\xAC", 9},
  };
  for (const auto& [text, chars] : samples) {
    SCOPED_TRACE(testing::PrintToString(text));
    EXPECT_TRUE(WildcardMatch(text, text));
    EXPECT_TRUE(MatchPattern(text, "{*}" + text + "{*}"));
    EXPECT_TRUE(WildcardMatch(text, std::string(chars, '?')));
    EXPECT_FALSE(WildcardMatch(text, std::string(chars + 1, '?')));
  }
}

TEST(NumericValue, LeadingNumber) {
  const std::vector<std::pair<const char*, double>> cases = {
      {"-0.25x", -0.25}, {".5", 0.5}, {"-.5", -0.5}, {"5.", 5},  {"1.2.3", 1.2},
      {"abc", 0},        {"", 0},     {"-", 0},      {"-.", 0},  {"--5", 0},
      {" 5", 0},         {"1e5", 1},  {"+5", 0},     {"4,5", 4}, {"007", 7},
  };
  for (const auto& [text, expected] : cases) EXPECT_DOUBLE_EQ(NumericValue(text), expected) << text;
  EXPECT_EQ(NumericValue("1" + std::string(400, '0')), HUGE_VAL);
  EXPECT_EQ(NumericValue("-9" + std::string(400, '9')), -HUGE_VAL);
  EXPECT_EQ(NumericValue("0." + std::string(400, '0') + "1"), 0.0);
}

TEST(MatchPattern, IgnoresOuterSpacesAndAnEmptyValueMatchesOnlyStar) {
  EXPECT_TRUE(MatchPattern("  7 points ", " {> 5} points  "));
  EXPECT_TRUE(MatchPattern(std::string_view(), "{*}"));
  EXPECT_FALSE(MatchPattern(std::string_view(), "{?}"));
  EXPECT_FALSE(MatchPattern(std::string_view(), "{< 5}x"));
  // A value without number counts as 0 also when empty.
  EXPECT_TRUE(MatchPattern(std::string_view(), "{< 5}"));
}

}  // namespace
}  // namespace drossgate::common
