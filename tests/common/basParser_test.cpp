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

// --- The documented examples: every "matches" and "does not match" entry. ---

class ConditionExamples : public testing::TestWithParam<MatchCase> {};

TEST_P(ConditionExamples, AgreesWithTable) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(ConditionTest(c.value, c.pattern), c.expected)
      << "value '" << c.value << "' pattern '" << c.pattern << "'";
}

INSTANTIATE_TEST_SUITE_P(Table, ConditionExamples,
                         testing::ValuesIn(std::vector<MatchCase>{
                             {"Yes_Exact", "YES", "YES", true},
                             {"Yes_PrefixOtherCase", "yes please", "YES", true},
                             {"Yes_NotInMiddle", "Maybe YES", "YES", false},
                             {"Yes_Other", "NO", "YES", false},
                             {"Empty_AnyValue", "anything", "", true},
                             {"Empty_EmptyValue", "", "", false},
                             {"Spam_InMiddleOtherCase", "Buy spam now", "{*}SPAM{*}", true},
                             {"Spam_Alone", "SPAM", "{*}SPAM{*}", true},
                             {"Spam_Ham", "ham", "{*}SPAM{*}", false},
                             {"Bracket_Prefix", "[SPAM] offer", "[SPAM]", true},
                             {"Bracket_NotPrefix", "Offer [SPAM]", "[SPAM]", false},
                             {"Gt3_Four", "4", "{> 3}", true},
                             {"Gt3_Nine", "9", "{> 3}", true},
                             {"Gt3_ThreePointFive", "3.5", "{> 3}", true},
                             {"Gt3_Three", "3", "{> 3}", false},
                             {"Gt3_MinusOne", "-1", "{> 3}", false},
                             {"Lt2_One", "1", "{< 2}", true},
                             {"Lt2_MinusOne", "-1", "{< 2}", true},
                             {"Lt2_Zero", "0", "{< 2}", true},
                             {"Lt2_Two", "2", "{< 2}", false},
                             {"Lt2_Five", "5", "{< 2}", false},
                             {"Gt2Lt7_Three", "3", "{> 2 < 7}", true},
                             {"Gt2Lt7_SixPointNine", "6.9", "{> 2 < 7}", true},
                             {"Gt2Lt7_Two", "2", "{> 2 < 7}", false},
                             {"Gt2Lt7_Seven", "7", "{> 2 < 7}", false},
                             {"Lt9Gt3_Four", "4", "{< 9 > 3}", true},
                             {"Lt9Gt3_Eight", "8", "{< 9 > 3}", true},
                             {"Lt9Gt3_Three", "3", "{< 9 > 3}", false},
                             {"Lt9Gt3_Nine", "9", "{< 9 > 3}", false},
                             {"ScorePrefix_OtherCase", "score 7.5", "Score {> 5}", true},
                             {"ScorePrefix_TooLow", "Score 4", "Score {> 5}", false},
                             {"ScorePrefix_OtherWord", "Level 7", "Score {> 5}", false},
                             {"PointsSuffix_Exact", "7 points", "{> 5} points", true},
                             {"PointsSuffix_OtherCase", "6 POINTS", "{> 5} points", true},
                             {"PointsSuffix_OtherWord", "7 pts", "{> 5} points", false},
                             {"PointsSuffix_TooLow", "4 points", "{> 5} points", false},
                         }),
                         CaseName);

// --- Edge cases of the whole test, including the caller's prefix step. ---

class ConditionEdges : public testing::TestWithParam<MatchCase> {};

TEST_P(ConditionEdges, Result) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(ConditionTest(c.value, c.pattern), c.expected)
      << "value '" << c.value << "' pattern '" << c.pattern << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Edges, ConditionEdges,
    testing::ValuesIn(std::vector<MatchCase>{
        {"NoLeadingNumberCountsAsZero", "abc", "{< 5}", true},
        {"NoLeadingNumberIsNotAboveZero", "abc", "{> 0}", false},
        {"NoOperatorNeverMatches", "5", "{5}", false},
        {"EqualsIsNoOperator", "5", "{= 5}", false},
        {"NoOperatorOnlyThroughPrefix", "{= 5} really", "{= 5}", true},
        {"UnclosedBraceIsLiteral", "7", "{> 5", false},
        {"UnclosedBraceThroughPrefix", "{> 5 and more", "{> 5", true},
        {"StarBetweenSpacesNeverMatches", "5", "{ * }", false},
        {"EmptyBracesNeverMatch", "5", "{}", false},
        {"SameSecondOperatorIgnored", "10", "{> 2 > 9}", true},
        {"SameSecondOperatorIgnoredLt", "5", "{< 9 < 3}", true},
        {"CommaBoundAboveLimit", "4.6", "{> 4,5}", true},
        {"CommaBoundAtLimit", "4.5", "{> 4,5}", false},
        {"CommaInValueIsDecimalPoint", "4,6", "{> 4.5}", true},
        {"CommaInValueAtLimit", "4,5", "{> 4.5}", false},
        {"NegativeBound", "-2", "{> -3}", true},
        {"NegativeRange", "-4", "{< -1 > -5}", true},
        {"NegativeRangeOutside", "-6", "{< -1 > -5}", false},
        {"MinusOnlyInFirstPosition", "5-3", "{> 4}", true},
        {"MinusLaterEndsNumber", "5-3 pts", "{> 4}-3 pts", true},
        {"MinusAloneIsZero", "- 5", "{< 1}", true},
        {"SecondPointEndsNumber", "1.2.3", "{< 1.3}", true},
        {"BoundNotANumberIsZero", "1", "{> abc}", true},
        {"SpacesAroundValueIgnored", "  7  ", "{> 5}", true},
        {"EmptySuffixIgnoresRest", "7.2 (+)", "{> 5}", true},
        {"LaterBracesArePartOfSuffix", "7 {x}", "{> 5} {x}", true},
        {"PrefixAndSuffix", "Score 7.5 points", "Score {> 5} points", true},
        {"PrefixAndSuffixWrongSuffix", "Score 7.5 pts", "Score {> 5} points", false},
        {"SuffixNeedsWholeRest", "7 points more", "{> 5} points", false},
        {"ValueShorterThanPrefix", "Sc", "Score {> 5}", false},
        {"StarAloneMatchesAnything", "whatever", "{*}", true},
        {"QuestionMarkTakesOneCharacter", "RE1: OFFER", "Re{?}: offer", true},
        {"QuestionMarkNeedsACharacter", "Re: offer", "Re{?}: offer", false},
        {"BracketListInsideWildcards", "[SPAM] offer", "{*}[SPAM]{*}", true},
        {"BracketListNeedsOneOfItsLetters", "[XYZ] offer", "{*}[SPAM]{*}", false},
        {"NumberThenStarNeverMatches", "5", "{> 3}{*}", false},
        {"NumberThenStarWithStarRest", "5*", "{> 3}{*}", false},
        {"BracesWithWildcardsNeedBoth", "Score 9", "Score{?}{> 5}", false},
        {"LiteralHashWithoutWildcards", "Ticket 12", "Ticket ##", false},
        {"HashIsDigitWithWildcards", "Ticket 12", "Ticket ##{*}", true},
        {"ReplacementIsOnePass", "{*}", "{{*}}", false},
        {"AdjacentWildcardTokens", "ab", "{?}{?}", true},
        {"AdjacentWildcardTokensCount", "abc", "{?}{?}", false},
        {"UnclosedTokenIsLiteral", "ax{b", "{*}x{*", true},
        {"PatternSpacesDoNotBlockMatch", "SPAM", " {*}SPAM{*} ", true},
        // A rest made entirely of the number, written with a comma, keeps its comma form.
        {"WholeCommaNumberStaysAsRest", "4,5", "{> 3}4,5", true},
        // After the number, a rest equal to the number text is dropped.
        {"RestEqualToNumberIsDropped", "7 7", "{> 5}7", false},
        {"RestEqualToNumberLeavesEmptySuffixMatch", "7 7", "{> 5}", true},
        {"HugeValueIsLarge", "1" + std::string(400, '0'), "{> 5}", true},
        {"LongBracedText", "7", "{> " + std::string(200, '0') + "5}", true},
        {"LongPatternWithWildcards", std::string(200, 'a') + " SPAM",
         "{*}" + std::string(150, 'A') + "{*}SPAM", true},
        {"TinyValueIsZero", "0." + std::string(400, '0') + "1", "{< 0.5}", true},
    }),
    CaseName);

// --- The wildcard comparison on its own. ---

class Wildcards : public testing::TestWithParam<MatchCase> {};

TEST_P(Wildcards, Result) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(WildcardMatch(c.value, c.pattern), c.expected)
      << "value '" << c.value << "' pattern '" << c.pattern << "'";
}

INSTANTIATE_TEST_SUITE_P(Semantics, Wildcards,
                         testing::ValuesIn(std::vector<MatchCase>{
                             {"StarMatchesNothing", "", "*", true},
                             {"EmptyMatchesEmpty", "", "", true},
                             {"EmptyPatternNeedsEmptyValue", "a", "", false},
                             {"CaseIgnored", "Hello", "hELLO", true},
                             {"WholeValueMustMatch", "abc", "ab", false},
                             {"QuestionMarkOneCharacter", "abc", "a?c", true},
                             {"QuestionMarkNotZero", "ac", "a?c", false},
                             {"HashDigit", "a5c", "a#c", true},
                             {"HashNotLetter", "abc", "a#c", false},
                             {"ListMember", "b", "[abc]", true},
                             {"ListNonMember", "d", "[abc]", false},
                             {"ListCaseIgnored", "B", "[abc]", true},
                             {"Range", "m", "[a-z]", true},
                             {"RangeExcludes", "5", "[a-z]", false},
                             {"RangeAndLetters", "5", "[a-c0-9]", true},
                             {"NegatedList", "d", "[!abc]", true},
                             {"NegatedListMember", "a", "[!abc]", false},
                             {"NegatedRange", "7", "[!a-z]", true},
                             {"DashFirstIsLiteral", "-", "[-a]", true},
                             {"DashLastIsLiteral", "-", "[a-]", true},
                             {"DashAfterNegationIsLiteral", "b", "[!-a]", true},
                             {"ListTakesOneCharacter", "ab", "[ab]", false},
                             {"EmptyListMatchesNothing", "ab", "a[]b", true},
                             {"EmptyListTakesNoCharacter", "axb", "a[]b", false},
                             {"UnclosedBracket", "[abc", "[abc", false},
                             {"UnclosedBracketAfterStar", "x[", "*[", false},
                             {"UnclosedBracketSpoilsMatchBefore", "ab", "ab*[", false},
                             {"DescendingRange", "m", "[z-a]", false},
                             {"DescendingRangeAfterStar", "abc", "*[z-a]", false},
                             {"ClosingBracketAloneIsLiteral", "]", "]", true},
                             {"StarBacktracks", "abcabd", "*abd", true},
                             {"StarsBacktrack", "mississippi", "m*iss*ppi", true},
                             {"StarsBacktrackAndFail", "mississippi", "*issip*ss*", false},
                             {"StarsNeedOrder", "abc", "*c*a*", false},
                             {"StarThenEnd", "abc", "a*", true},
                             {"StarMustLeaveSuffix", "abc", "*d", false},
                             {"StarBeforeList", "xxq", "*[pq]", true},
                             {"StarsWithEmptyList", "", "*[]*", true},
                             {"StarFindsLetterInOtherCase", "xyzQ", "*q", true},
                             {"StarFindsLaterOccurrence", "abxabyab", "*ab", true},
                             {"StarPassesMultiByteChars",
                              "\xC3\xA9\xE2\x82\xAC"
                              "x",
                              "*x", true},
                             {"StarFindsNoLetter", "\xC3\xA9\xE2\x82\xAC", "*x", false},
                             {"StarBeforeClosingBracket", "a]", "*]", true},
                         }),
                         CaseName);

// --- UTF-8: one multi-byte character is one character, invalid bytes one each. ---

INSTANTIATE_TEST_SUITE_P(
    Utf8, Wildcards,
    testing::ValuesIn(std::vector<MatchCase>{
        {"QuestionMarkTakesTwoByteChar", "\xC3\xA9", "?", true},
        {"QuestionMarkTakesThreeByteChar", "\xE2\x82\xAC", "?", true},
        {"QuestionMarkTakesFourByteChar", "\xF0\x9F\x98\x80", "?", true},
        {"ThreeByteCharIsNotThreeCharacters", "\xE2\x82\xAC", "???", false},
        {"InvalidBytesAreOneCharacterEach", "\xFF\xFE", "??", true},
        {"TruncatedSequenceIsBytes", "\xE2\x82", "??", true},
        {"OverlongFormIsBytes", "\xC0\xAF", "??", true},
        {"SurrogateFormIsBytes", "\xED\xA0\x80", "???", true},
        {"ListHoldsMultiByteChar", "\xC3\xA9", "[a\xC3\xA9]", true},
        {"NegatedListExcludesMultiByteChar", "\xC3\xA9", "[!\xC3\xA9]", false},
        {"RangeOverMultiByteChars", "\xC3\xA9", "[\xC3\xA0-\xC3\xBF]", true},
        {"AccentedLettersNotFolded", "\xC3\xA9", "\xC3\x89", false},
        {"InvalidByteEqualsItself",
         "a\xFF"
         "b",
         "a\xFF"
         "b",
         true},
        // 0xF8 starts no sequence: "\xF8\x80\x80" is three characters, never U+8000.
        {"LeadByteF8IsNotAThreeByteSequence", "\xF8\x80\x80", "\xE8\x80\x80", false},
        {"LeadByteF8CountsAlone", "\xF8\x80\x80", "???", true},
        {"LeadByteF5CountsAlone", "\xF5\x80\x80\x80", "????", true},
        {"InvalidByteIsNotAnyCodePoint", "\xFF", "[\xC3\xBF]", false},
    }),
    CaseName);

// Text without pattern characters matches itself, as a literal and inside stars, and has as
// many characters as "?"s when counted as UTF-8.
TEST(Utf8, TextNeverMismatchesItself) {
  struct Sample {
    std::string text;
    size_t chars;
  };
  const std::vector<Sample> samples = {
      {"Gr\xC3\xBC\xC3\x9F"
       "e",
       5},
      {"\xE2\x82\xAC 100", 5},
      {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 2},
      {"\xFF\xFE\xC3", 3},
      {"\xE2\x82"
       "x",
       3},
      {"\xF8\x80\x80", 3},
      {"\xED\xA0\x80", 3},
      {"mixed \xC3\xA9\x80\xE2\x82\xAC", 9},
  };
  for (const Sample& s : samples) {
    SCOPED_TRACE(testing::PrintToString(s.text));
    EXPECT_TRUE(WildcardMatch(s.text, s.text));
    EXPECT_TRUE(MatchPattern(s.text, "{*}" + s.text + "{*}"));
    EXPECT_TRUE(WildcardMatch(s.text, std::string(s.chars, '?')));
    EXPECT_FALSE(WildcardMatch(s.text, std::string(s.chars + 1, '?')));
  }
}

// --- The leading number of a text. ---

TEST(NumericValue, LeadingNumber) {
  struct Case {
    const char* text;
    double expected;
  };
  const std::vector<Case> cases = {
      {"42", 42},    {"3.5", 3.5}, {"-1", -1},     {"-0.25x", -0.25}, {".5", 0.5},
      {"-.5", -0.5}, {"5.", 5},    {"1.2.3", 1.2}, {"12abc", 12},     {"abc", 0},
      {"", 0},       {"-", 0},     {".", 0},       {"-.", 0},         {"--5", 0},
      {" 5", 0},     {"1e5", 1},   {"+5", 0},      {"4,5", 4},        {"007", 7},
  };
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(NumericValue(c.text), c.expected) << c.text;
}

TEST(NumericValue, OutOfRangeDigitsSaturate) {
  EXPECT_EQ(NumericValue("1" + std::string(400, '0')), HUGE_VAL);
  EXPECT_EQ(NumericValue("-9" + std::string(400, '9')), -HUGE_VAL);
  EXPECT_EQ(NumericValue("0." + std::string(400, '0') + "1"), 0.0);
}

// --- The in-place contract callers rely on. ---

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
