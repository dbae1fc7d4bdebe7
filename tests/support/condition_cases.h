#pragma once
// The condition test's table rows, shared by the matcher's own tests and by the test that the
// setup program's tester and the sink give the same answer on each of them.

#include <string>
#include <vector>

namespace drossgate::common::test {

struct MatchCase {
  const char* name;
  std::string value;
  std::string pattern;
  bool expected;
};

// The documented examples.
inline const std::vector<MatchCase>& ConditionExamples() {
  static const std::vector<MatchCase> cases{
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
  };
  return cases;
}

inline const std::vector<MatchCase>& ConditionEdges() {
  static const std::vector<MatchCase> cases{
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
  };
  return cases;
}

}  // namespace drossgate::common::test
