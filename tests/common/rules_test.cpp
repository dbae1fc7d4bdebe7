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

// Every kind of row the setup program can write.
const std::vector<RoundTripCase> kWritableRows = {
    {"Folder", {"X-Spam-Flag: YES", ActionKind::kMove, "Spam"}, "Spam"},
    {"InboxPath", {"Subject: {*}viagra{*}", ActionKind::kMove, "Inbox/Junk"}, "Inbox\\Junk"},
    // Found: a folder path with an "@" (and no angle brackets) was shown as a forward, and
    // installing again made it one.
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

class Refusal : public testing::TestWithParam<RefusalCase> {};

// A row whose target the sink would read as another action is refused, with the reason (more
// rows: the refused-rows table, and the setup program's refusals before any change).
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
        RefusalCase{"FolderLikeAnScl", {"A: 1", ActionKind::kMove, "+5"}, "SCL value"},
        RefusalCase{"FolderLikeADelete", {"A: 1", ActionKind::kMove, "[null]"}, "delete action"},
        // Found: "/" moved mail into the mailbox root, where no client shows it.
        RefusalCase{"FolderOfSeparatorsOnly", {"A: 1", ActionKind::kMove, "/\\/"}, "Please fill"},
        RefusalCase{
            "ForwardBracketsWithoutAt", {"A: 1", ActionKind::kForward, "D <desk>"}, "angle"}),
    [](const auto& info) { return std::string(info.param.name); });

struct WarningCase {
  const char* name;
  const char* condition;
  const char* warning;  // a part of the one warning expected; "" when none is
};

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
                    WarningCase{"OpenBraceOnly", "X-Score: {> 5", "without \"}\""},
                    WarningCase{"SpaceInHeaderName", "X Spam: YES", "space"},
                    WarningCase{"NoColon", "X-Spam-Flag YES", "no \":\""},
                    WarningCase{"SclAboveNine", "IMFSCL: {> 9}", "never matches"},
                    WarningCase{"SclInRange", "IMFSCL: {> 5}", ""},
                    WarningCase{"SubjectAsNumber", "Subject: {> 5}", "as a number"},
                    WarningCase{"Plain", "X-Spam-Flag: YES", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Scl, ValuesFromMinusOneToNine) {
  for (const char* valid : {"-1", "0", "9", "+5", "-0", "09"})
    EXPECT_TRUE(IsValidScl(valid)) << valid;
  for (const char* invalid : {"10", "", "1.5", "a", "-2", "99", "-", "+", "1a", "-10"})
    EXPECT_FALSE(IsValidScl(invalid)) << '"' << invalid << '"';
}

TEST(ReadBack, ThreeLines) {
  struct Case {
    const char* name;
    std::string text;
    ConstructorLines lines;
  };
  const std::vector<Case> cases = {
      {"installed default", "Spam\t\rX: YES\t\r65535", {"Spam\t", "X: YES\t", "65535"}},
      {"blanks trimmed", " a \r b \r 7 ", {"a", "b", "7"}},
      {"no second line break", "a\rb", {"a", "b", ""}},
      {"second line starts with a break", "a\r\r9", {"a", "\r9", ""}},
      {"second line trimmed before its break is looked for", "a\r  \r9", {"a", "\r9", ""}},
      {"no break at all", "Spam", {"", "", ""}},
      {"break first", "\rX\r1", {"", "", ""}},
  };
  for (const Case& c : cases) {
    const ConstructorLines lines = SplitConstructorString(c.text);
    EXPECT_EQ(lines.targets, c.lines.targets) << c.name;
    EXPECT_EQ(lines.conditions, c.lines.conditions) << c.name;
    EXPECT_EQ(lines.priority, c.lines.priority) << c.name;
  }
}

TEST(Rows, TargetCleanUp) {
  struct Case {
    const char* name;
    std::string target;
    std::string cleaned;
  };
  const std::vector<Case> cases = {
      {"slash becomes backslash", "Inbox/Junk", "Inbox\\Junk"},
      {"outer backslashes go", "\\Spam\\", "Spam"},
      {"colon goes", "C:Spam", "CSpam"},
      {"blanks, apostrophes and quotes", "  'Spam' ", "Spam"},
      {"quoted display name", "\"Spam Desk\" <desk@example.com>", "Spam Desk <desk@example.com>"},
      {"only backslashes", "\\\\\\", ""},
      {"inner backslashes stay", "Inbox\\\\Spam", "Inbox\\\\Spam"},
  };
  for (const Case& c : cases) EXPECT_EQ(CleanUpTarget(c.target), c.cleaned) << c.name;
}

// Rule rows written as one text: rows separated by ';', each one condition|action|target (an
// empty row is an unused one); the shown targets separated by '|', nullptr for none.
struct BuildCase {
  const char* name;
  const char* rows;
  const char* priority;
  std::string expected;  // the constructor string, or the refusal
  const char* shown;
};

std::vector<std::string> SplitText(const std::string& s, char separator) {
  return s.empty() ? std::vector<std::string>{""} : text::Split(s, separator);
}

void CheckBuild(const BuildCase& c, bool refused) {
  std::vector<Row> rows;
  for (const std::string& row : SplitText(c.rows, ';')) {
    const std::vector<std::string> parts = SplitText(row, '|');
    rows.push_back(row.empty()
                       ? Row{}
                       : Row{parts[0], static_cast<ActionKind>(std::stoi(parts[1])), parts[2]});
  }
  std::vector<std::string> shown;
  if (c.shown) shown = SplitText(c.shown, '|');
  const Build build = FormatConstructorString(rows, c.priority);
  EXPECT_EQ(build.refusal, refused ? c.expected : "") << c.name;
  EXPECT_EQ(build.constructorString, refused ? "" : c.expected) << c.name;
  EXPECT_EQ(build.shownTargets, shown) << c.name;
}

TEST(Rows, ConstructorStringFromTheRows) {
  const std::vector<BuildCase> cases = {
      {"one move row", "X-Spam-Flag: YES|0|Spam;;;", " 65535 ", "Spam\t\rX-Spam-Flag: YES\t\r65535",
       "Spam|||"},
      {"delete row writes [Null] whatever the box held", "IMFSCL: {> 7}|1|[NULL];X: y|1|Archive",
       "0", "[Null]\t[Null]\t\rIMFSCL: {> 7}\tX: y\t\r0", "[Null]|[Null]"},
      {"set SCL gets its sign, minus zero is zero", "a: 1|3|09;b: 2|3|-1;c: 3|3|+3;d: 4|3|-0", "7",
       "+9\t-1\t+3\t+0\t\ra: 1\tb: 2\tc: 3\td: 4\t\r7", "09|-1|+3|-0"},
      {"an unused row in between leaves no gap", "A: 1|0|One;;C: 3|2|Desk <d@example.com>", "65535",
       "One\tDesk <d@example.com>\t\rA: 1\tC: 3\t\r65535", "One||Desk <d@example.com>"},
      {"an empty priority leaves the third line empty", "A: 1|0|One", "", "One\t\rA: 1\t\r", "One"},
  };
  for (const BuildCase& c : cases) CheckBuild(c, false);
}

TEST(Rows, RefusedRows) {
  const std::string fill = kFillRulesMessage;
  const std::string scl = kSclRangeMessage;
  const std::string breaks = kLineBreakMessage;
  const std::vector<BuildCase> cases = {
      {"no row used", ";;;", "65535", fill, "|||"},
      {"second move row without target", "A: 1|0|One;B: 2|0|  ;C: 3|0|x", "1", fill, "One|"},
      {"target without condition", "A: 1|0|One; |0|Two", "1", fill, "One|Two"},
      {"delete row without condition", "|1|", "1", fill, "[Null]"},
      {"target that cleans up to nothing", "A: 1|0|\\:\\", "1", fill, ""},
      {"SCL out of range", "A: 1|3|10", "1", scl, "10"},
      {"TAB in a condition", "A: 1\tB: 2|0|One", "1", breaks, nullptr},
      {"carriage return in a later row", "A: 1|0|One;B:\r2|0|Two", "1", breaks, nullptr},
      {"line break in an otherwise empty row", "A: 1|0|One;\n|0|", "1", breaks, nullptr},
  };
  for (const BuildCase& c : cases) CheckBuild(c, true);
}

}  // namespace
}  // namespace drossgate::common::rules
