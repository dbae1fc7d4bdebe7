#include "basParser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace drossgate::common {
namespace {

struct MatchCase {
  const char* name;
  std::string value;
  std::string pattern;
  bool expected;
};

void PrintTo(const MatchCase& c, std::ostream* os) {
  *os << testing::PrintToString(c.value) << " vs " << testing::PrintToString(c.pattern);
}

std::string CaseName(const testing::TestParamInfo<MatchCase>& info) {
  return info.param.name;
}

// The whole condition test, including the caller's prefix step.
class Condition : public testing::TestWithParam<MatchCase> {};

TEST_P(Condition, Result) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(ConditionTest(c.value, c.pattern), c.expected);
}

// The documented examples.
INSTANTIATE_TEST_SUITE_P(Examples, Condition,
                         testing::ValuesIn(std::vector<MatchCase>{
                             {"Yes_PrefixOtherCase", "yes please", "YES", true},
                             {"Yes_NotInMiddle", "Maybe YES", "YES", false},
                             {"Empty_AnyValue", "anything", "", true},
                             {"Empty_EmptyValue", "", "", false},
                             {"Spam_InMiddleOtherCase", "Buy spam now", "{*}SPAM{*}", true},
                             {"Bracket_Prefix", "[SPAM] offer", "[SPAM]", true},
                             {"Bracket_NotPrefix", "Offer [SPAM]", "[SPAM]", false},
                             {"Gt3_ThreePointFive", "3.5", "{> 3}", true},
                             {"Gt3_Three", "3", "{> 3}", false},
                             {"Lt2_MinusOne", "-1", "{< 2}", true},
                             {"Lt2_Two", "2", "{< 2}", false},
                             {"Gt2Lt7_SixPointNine", "6.9", "{> 2 < 7}", true},
                             {"Gt2Lt7_Seven", "7", "{> 2 < 7}", false},
                             {"Lt9Gt3_Four", "4", "{< 9 > 3}", true},
                             {"Lt9Gt3_Three", "3", "{< 9 > 3}", false},
                             {"ScorePrefix_OtherCase", "score 7.5", "Score {> 5}", true},
                             {"ScorePrefix_OtherWord", "Level 7", "Score {> 5}", false},
                             {"PointsSuffix_OtherCase", "6 POINTS", "{> 5} points", true},
                             {"PointsSuffix_OtherWord", "7 pts", "{> 5} points", false},
                         }),
                         CaseName);

INSTANTIATE_TEST_SUITE_P(
    Edges, Condition,
    testing::ValuesIn(std::vector<MatchCase>{
        {"NoOperatorNeverMatches", "5", "{5}", false},
        {"NoOperatorOnlyThroughPrefix", "{= 5} really", "{= 5}", true},
        {"UnclosedBraceIsLiteral", "7", "{> 5", false},
        {"UnclosedBraceThroughPrefix", "{> 5 and more", "{> 5", true},
        {"StarBetweenSpacesNeverMatches", "5", "{ * }", false},
        {"EmptyBracesNeverMatch", "5", "{}", false},
        {"SameSecondOperatorIgnored", "10", "{> 2 > 9}", true},
        {"CommaBoundAtLimit", "4.5", "{> 4,5}", false},
        {"CommaInValueIsDecimalPoint", "4,6", "{> 4.5}", true},
        {"NegativeRange", "-4", "{< -1 > -5}", true},
        {"MinusLaterEndsNumber", "5-3 pts", "{> 4}-3 pts", true},
        {"BoundNotANumberIsZero", "1", "{> abc}", true},
        {"SpacesAroundValueIgnored", "  7  ", "{> 5}", true},
        {"EmptySuffixIgnoresRest", "7.2 (+)", "{> 5}", true},
        {"LaterBracesArePartOfSuffix", "7 {x}", "{> 5} {x}", true},
        {"PrefixAndSuffixWrongSuffix", "Score 7.5 pts", "Score {> 5} points", false},
        {"SuffixNeedsWholeRest", "7 points more", "{> 5} points", false},
        {"ValueShorterThanPrefix", "Sc", "Score {> 5}", false},
        {"QuestionMarkTakesOneCharacter", "RE1: OFFER", "Re{?}: offer", true},
        {"NumberThenStarNeverMatches", "5", "{> 3}{*}", false},
        {"NumberThenStarWithStarRest", "5*", "{> 3}{*}", false},
        {"BracesWithWildcardsNeedBoth", "Score 9", "Score{?}{> 5}", false},
        {"LiteralHashWithoutWildcards", "Ticket 12", "Ticket ##", false},
        {"HashIsDigitWithWildcards", "Ticket 12", "Ticket ##{*}", true},
        {"ReplacementIsOnePass", "{*}", "{{*}}", false},
        {"AdjacentWildcardTokensCount", "abc", "{?}{?}", false},
        {"UnclosedTokenIsLiteral", "ax{b", "{*}x{*", true},
        {"PatternSpacesDoNotBlockMatch", "SPAM", " {*}SPAM{*} ", true},
        // A rest made entirely of the number, written with a comma, keeps its comma form.
        {"WholeCommaNumberStaysAsRest", "4,5", "{> 3}4,5", true},
        // After the number, a rest equal to the number text is dropped.
        {"RestEqualToNumberIsDropped", "7 7", "{> 5}7", false},
        {"RestEqualToNumberLeavesEmptySuffixMatch", "7 7", "{> 5}", true},
        {"LongPatternWithWildcards", std::string(200, 'a') + " SPAM",
         "{*}" + std::string(150, 'A') + "{*}SPAM", true},
    }),
    CaseName);

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
                             {"NegatedRange", "7", "[!a-z]", true},
                             {"DashFirstIsLiteral", "-", "[-a]", true},
                             {"DashLastIsLiteral", "-", "[a-]", true},
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
                             {"StarsNeedOrder", "abc", "*c*a*", false},
                             {"StarBeforeList", "xxq", "*[pq]", true},
                             {"StarsWithEmptyList", "", "*[]*", true},
                             {"StarFindsLetterInOtherCase", "xyzQ", "*q", true},
                             {"StarPassesMultiByteChars",
                              "\xC3\xA9\xE2\x82\xAC"
                              "x",
                              "*x", true},
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
      {"Gr\xC3\xBC\xC3\x9F"
       "e",
       5},
      {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 2},
      {"\xFF\xFE\xC3", 3},
      {"\xE2\x82"
       "x",
       3},
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

// The in-place contract callers rely on.
TEST(MatchPattern, TrimsBothArgumentsInPlace) {
  std::string value = "  7 points ";
  std::string pattern = " {> 5} points  ";
  EXPECT_TRUE(MatchPattern(value, pattern));
  EXPECT_EQ(value, "7 points");
  EXPECT_EQ(pattern, "{> 5} points");
}

TEST(MatchPattern, EmptyValueMatchesOnlyStar) {
  EXPECT_TRUE(MatchPattern(std::string_view(), "{*}"));
  EXPECT_FALSE(MatchPattern(std::string_view(), "{?}"));
  EXPECT_FALSE(MatchPattern(std::string_view(), "{< 5}x"));
  // A value without number counts as 0 also when empty.
  EXPECT_TRUE(MatchPattern(std::string_view(), "{< 5}"));
}

}  // namespace
}  // namespace drossgate::common
