#include "rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text.h"

namespace drossgate::common::rules {
namespace {

struct RoundTripCase {
  const char* name;
  Row row;
  const char* shown;  // what the target box shows when read back
};

void PrintTo(const RoundTripCase& c, std::ostream* os) {
  *os << c.name;
}

// Every kind of row the setup program can write.
const std::vector<RoundTripCase> kWritableRows = {
    {"Folder", {"X-Spam-Flag: YES", ActionKind::kMove, "Spam"}, "Spam"},
    {"InboxPath", {"Subject: {*}viagra{*}", ActionKind::kMove, "Inbox/Junk"}, "Inbox\\Junk"},
    {"FolderWithAt", {"X-Kind: a", ActionKind::kMove, "desk@example.com"}, "desk@example.com"},
    {"ThreeCharacterFolder", {"X-Kind: b", ActionKind::kMove, "+10"}, "+10"},
    {"Delete", {"IMFSCL: {> 7}", ActionKind::kDelete, ""}, "[Null]"},
    {"ForwardWithName",
     {"X-Spam-Level: *****", ActionKind::kForward, "Spam Desk <spamdesk@example.com>"},
     "Spam Desk <spamdesk@example.com>"},
    // Found: a bare address was written as it stood, and the sink filed mail into a folder
    // named after it instead of forwarding.
    {"ForwardBareAddress",
     {"X-Spam-Flag: YES", ActionKind::kForward, "spamdesk@example.com"},
     "<spamdesk@example.com>"},
    {"SclOneDigit", {"X-Spam-Flag: YES", ActionKind::kSetScl, "5"}, "5"},
    {"SclMinusOne", {"X-Spam-Flag: YES", ActionKind::kSetScl, "-1"}, "-1"},
    {"SclSigned", {"X-Spam-Flag: YES", ActionKind::kSetScl, "+9"}, "9"},
};

class RoundTrip : public testing::TestWithParam<RoundTripCase> {};

// Written, parsed as the sink parses, classified, and read back as the window reads it: the
// same rule and the same action each way, alone and behind three other rules.
TEST_P(RoundTrip, SameRuleAndActionEachWay) {
  const RoundTripCase& c = GetParam();
  std::vector<Row> rows{kWritableRows[0].row, kWritableRows[4].row, kWritableRows[5].row, c.row};
  for (const std::vector<Row>& set : {std::vector<Row>{c.row}, rows}) {
    const Build build = FormatConstructorString(set, "100");
    ASSERT_EQ(build.refusal, "");
    const size_t i = set.size() - 1;

    const ParsedRules parsed = ParseConstructorString(build.constructorString);
    ASSERT_EQ(parsed.lastRule, static_cast<int>(set.size()));  // the final TAB's empty rule
    EXPECT_EQ(ClassifyAction(parsed.actions[i]), c.row.action) << parsed.actions[i];
    EXPECT_EQ(parsed.headerNames[i] + ": " + parsed.patterns[i], c.row.condition);

    const ConstructorLines lines = SplitConstructorString(build.constructorString);
    EXPECT_EQ(lines.priority, "100");
    EXPECT_EQ(text::Split(lines.conditions, '\t')[i], c.row.condition);
    const ShownTarget shown = ShowTarget(text::Split(lines.targets, '\t')[i]);
    EXPECT_EQ(shown.action, c.row.action);
    EXPECT_EQ(shown.text, c.shown);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, RoundTrip, testing::ValuesIn(kWritableRows),
                         [](const auto& info) { return std::string(info.param.name); });

struct RefusalCase {
  const char* name;
  Row row;
  const char* refusal;  // a part of the message; "" when the row is written
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
  *os << c.name;
}

class Refusal : public testing::TestWithParam<RefusalCase> {};

// A row whose target the sink would read as another action is refused, with the reason.
TEST_P(Refusal, SaysWhy) {
  const RefusalCase& c = GetParam();
  const Build build = FormatConstructorString({c.row}, "1");
  if (*c.refusal == '\0') {
    EXPECT_EQ(build.refusal, "");
  } else {
    EXPECT_NE(build.refusal.find(c.refusal), std::string::npos) << build.refusal;
    EXPECT_EQ(build.constructorString, "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Refusal,
    testing::Values(
        RefusalCase{"FolderLikeAForward", {"A: 1", ActionKind::kMove, "D <d@x.org>"}, "forward"},
        RefusalCase{"FolderLikeAnScl", {"A: 1", ActionKind::kMove, "+5"}, "SCL value"},
        RefusalCase{"FolderLikeADelete", {"A: 1", ActionKind::kMove, "[null]"}, "delete action"},
        // Found: "/" moved mail into the mailbox root, where no client shows it.
        RefusalCase{"FolderOfSeparatorsOnly", {"A: 1", ActionKind::kMove, "/\\/"}, "Please fill"},
        RefusalCase{"ForwardWithoutAddress", {"A: 1", ActionKind::kForward, "Spam Desk"}, "angle"},
        RefusalCase{
            "ForwardBracketsWithoutAt", {"A: 1", ActionKind::kForward, "D <desk>"}, "angle"},
        RefusalCase{"SclTooHigh", {"A: 1", ActionKind::kSetScl, "10"}, "SCL should be"},
        RefusalCase{"SclTooLow", {"A: 1", ActionKind::kSetScl, "-2"}, "SCL should be"},
        RefusalCase{"SclNotANumber", {"A: 1", ActionKind::kSetScl, "x"}, "SCL should be"},
        RefusalCase{"TabInCondition", {"A:\t1", ActionKind::kMove, "Spam"}, "tabs or line"},
        RefusalCase{"ConditionWithoutTarget", {"A: 1", ActionKind::kMove, ""}, "Please fill"},
        RefusalCase{"DeleteNeedsNoTarget", {"A: 1", ActionKind::kDelete, ""}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct WarningCase {
  const char* name;
  const char* condition;
  const char* warning;  // a part of the one warning expected; "" when none is
};

void PrintTo(const WarningCase& c, std::ostream* os) {
  *os << c.name;
}

class Warnings : public testing::TestWithParam<WarningCase> {};

TEST_P(Warnings, OneSentenceEach) {
  const WarningCase& c = GetParam();
  const std::vector<std::string> warnings = ConditionWarnings(c.condition);
  if (*c.warning == '\0') {
    EXPECT_TRUE(warnings.empty()) << warnings.front();
  } else {
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << warnings[0];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, Warnings,
    testing::Values(WarningCase{"CharacterListInWildcards", "Subject: {*}[SPAM]{*}", "list"},
                    WarningCase{"BracketsWithoutWildcards", "Subject: [SPAM]", ""},
                    WarningCase{"BracesWithoutOperator", "X-Score: {5}", "no comparison"},
                    WarningCase{"BracesWithEquals", "X-Score: {= 5}", "no comparison"},
                    WarningCase{"BracesWithStar", "X-Score: { * }", "no comparison"},
                    WarningCase{"OpenBraceOnly", "X-Score: {> 5", "without \"}\""},
                    WarningCase{"SpaceInHeaderName", "X Spam: YES", "space"},
                    WarningCase{"NoColon", "X-Spam-Flag YES", "no \":\""},
                    WarningCase{"SclAboveNine", "IMFSCL: {> 9}", "never matches"},
                    WarningCase{"SclBelowMinusOne", "IMFSCL: {< -1}", "never matches"},
                    WarningCase{"SclInRange", "IMFSCL: {> 5}", ""},
                    WarningCase{"SubjectAsNumber", "Subject: {> 5}", "as a number"},
                    WarningCase{"Plain", "X-Spam-Flag: YES", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Warnings, LineFeedInConstructorString) {
  const auto warnings = ConstructorStringWarnings("Spam\t\r\nX-Spam-Flag: YES\t\r1");
  ASSERT_EQ(warnings.size(), 2u);  // the line feed, and the header name it starts
  EXPECT_NE(warnings[0].find("line feed"), std::string::npos);
}

}  // namespace
}  // namespace drossgate::common::rules
