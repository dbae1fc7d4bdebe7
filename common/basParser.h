#pragma once
// The condition matcher shared by the event sink and the setup tool's tester: one
// implementation, so that the tester predicts exactly what the sink will do. No input makes
// it fail or throw; an ill-formed pattern simply does not match.
//
// Text is handled as UTF-8: wildcards that stand for one character ("?", "#", "[list]") take
// one whole UTF-8 sequence, bytes that are not valid UTF-8 count as one character each, and
// only the ASCII letters a-z/A-Z are folded for case-insensitive comparison. Any other text,
// including accented letters, compares exactly, byte for byte, and never mismatches itself.

#include <string>
#include <string_view>

namespace drossgate::common {

// Decides whether value satisfies pattern (wildcards in braces, or a numeric comparison in
// braces with literal text before and after it). Spaces around either argument are ignored.
bool MatchPattern(std::string_view value, std::string_view pattern);

// The condition test every caller performs: an empty value never matches; otherwise an empty
// pattern, or a pattern the value begins with (ASCII case ignored), matches; otherwise the
// answer is MatchPattern's.
bool ConditionTest(std::string_view value, std::string_view pattern);

// The wildcard comparison: "*" any run, "?" one character, "#" one digit, "[list]" and
// "[!list]" with ranges such as A-Z; everything else literal; the whole value must match.
// Both sides are upper-cased (ASCII) first. A "[" without its "]", or a descending range,
// makes the pattern ill-formed and the result false.
bool WildcardMatch(std::string_view value, std::string_view pattern);

// The number written at the start of text: an optional "-", then digits with at most one "."
// among them and at least one digit in all; 0 when text does not start with one.
double NumericValue(std::string_view text);

}  // namespace drossgate::common
