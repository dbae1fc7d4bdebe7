#pragma once
// The condition test of the setup tool, without any window: the pattern a rule's condition
// carries, and whether a sample value satisfies it exactly as the sink would decide. Nothing
// here touches the platform or a display, and nothing throws.

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "CommandLine.h"

namespace drossgate::setup {

inline constexpr const char* kMatchesText = "Matches";
inline constexpr const char* kNoMatchText = "DOESN'T match";

// The pattern of a condition typed as a header line: the text after the first ":", blanks
// around it removed; a condition without ":" is the pattern as it stands.
std::string ConditionPattern(std::string_view condition);

// The header name of a condition as the sink reads it (before its first ":"); empty when it
// names none, and then the whole condition is taken for the pattern under test.
std::string ConditionHeaderName(std::string_view condition);

// What makes the pattern do less, or more, than it seems to say (the rule language's
// warnings), for a value of the header headerName (empty: any value).
std::vector<std::string> ConditionTestWarnings(std::string_view headerName,
                                               std::string_view pattern);

// The sink's condition test on the trimmed value and pattern. An empty value never matches,
// whatever the pattern, because the sink skips the test for an empty value.
bool TestCondition(std::string_view pattern, std::string_view value);

// "--test-condition CONDITION VALUE": prints the result ("Matches" or "DOESN'T match") to out,
// each warning as a line "warning: ..." to err, and gives the exit status: kExitDone for a
// match, kExitRefused for none or, with --strict, for any warning.
int RunConditionTest(const SetupOptions& options, std::ostream& out, std::ostream& err);

}  // namespace drossgate::setup
