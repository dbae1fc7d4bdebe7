#include "SinkSettings.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace drossgate::sink {
namespace {

// Each rule as "action|header name|pattern".
std::vector<std::string> RulesOf(const SinkSettings& s) {
  std::vector<std::string> rules;
  for (int i = 0; i <= s.lastRule; ++i)
    rules.push_back(s.actions.at(i) + "|" + s.headerNames.at(i) + "|" + s.patterns.at(i));
  return rules;
}

struct ParseCase {
  const char* name;
  std::string text;
  std::vector<std::string> rules;
  std::string currentAction, currentHeaderName;
};

class ConstructorString : public testing::TestWithParam<ParseCase> {};

TEST_P(ConstructorString, GivesRulesAndCurrentValues) {
  const ParseCase& c = GetParam();
  const SinkSettings s = ParseConstructorString(c.text);
  EXPECT_EQ(RulesOf(s), c.rules);  // as many as lastRule says
  EXPECT_EQ(s.currentAction, c.currentAction);
  EXPECT_EQ(s.currentHeaderName, c.currentHeaderName);
  EXPECT_EQ(s.currentPattern, "");
  EXPECT_EQ(s.targetFolderUrl, "");
}

const std::string kThree = "Inbox\\Spam\t[Null]\rX-Spam-Flag: YES\tIMFSCL: {> 3}";
const std::vector<std::string> kThreeRules{"Inbox/Spam|X-Spam-Flag|YES", "[Null]|IMFSCL|{> 3}"};

INSTANTIATE_TEST_SUITE_P(
    Texts, ConstructorString,
    testing::ValuesIn(std::vector<ParseCase>{
        {"Empty", "", {}, "Spam", ""},
        {"OneLineWithoutCarriageReturn", "X: YES", {"Spam|X|YES"}, "Spam", "X: YES"},
        {"BeginsWithCarriageReturn", "\rX: Y\r100", {"Spam|\rX|Y\r100"}, "Spam", "\rX: Y\r100"},
        {"ThreeLines", kThree + "\r65535", kThreeRules, "Inbox/Spam\t[Null]",
         "X-Spam-Flag: YES\tIMFSCL: {> 3}"},
        {"BackslashOnLine2Stays", "A\\B\rX: In\\Sp", {"A/B|X|In\\Sp"}, "A/B", "X: In\\Sp"},
        {"MoreActionsThanConditions", "A\tB\tC\rX: 1", {"A|X|1"}, "A\tB\tC", "X: 1"},
        {"MoreConditionsThanActions", "A\rX: 1\tY: 2", {"A|X|1"}, "A", "X: 1\tY: 2"},
        {"ActionsWithoutConditions", "A\tB\r", {}, "A\tB", ""},
        {"ConditionWithoutColon", "A\rX-Flag", {"A|X-Flag|"}, "A", "X-Flag"},
        {"ColonInPatternKept", "A\rSubject: Re: hi", {"A|Subject|Re: hi"}, "A", "Subject: Re: hi"},
        {"CarriageReturnLineFeedKeepsLineFeed", "A\r\nX: YES\r\n1", {"A|\nX|YES"}, "A", "\nX: YES"},
        {"LineFeedIsNotASeparator", "A\nX: Y", {"Spam|A\nX|Y"}, "Spam", "A\nX: Y"},
        {"EmptySecondLineKeepsThird", "A\r\rX: Y", {"A|\rX|Y"}, "A", "\rX: Y"},
        {"LinesTrimmedAsWholeActionsNotOneByOne",
         "  A \t B  \r  X  :  1 \tY:2  \r 100",
         {"A |X|1", " B|Y|2"},
         "A \t B",
         "X  :  1 \tY:2"},
        {"TabIsNotTrimmed", "A\r\tX: 1", {"A||"}, "A", "\tX: 1"},
    }),
    [](const testing::TestParamInfo<ParseCase>& info) { return info.param.name; });

TEST(ConstructorString, NullTextIsEmpty) {
  const SinkSettings s = ParseConstructorString(static_cast<const char*>(nullptr));
  EXPECT_EQ(s.lastRule, -1);
  EXPECT_EQ(s.currentAction, "Spam");
  EXPECT_EQ(s.currentHeaderName, "");
}

// Lines ending in a TAB, as the setup program writes them, end in an empty rule.
TEST(ConstructorString, LineThreeDoesNotMatter) {
  const std::string lines = "Inbox\\Spam\t[Null]\t\rX-Spam-Flag: YES\tIMFSCL: {> 3}\t";
  std::vector<std::string> rules = kThreeRules;
  rules.push_back("||");
  for (const char* tail : {"", "\r100", "\r65535", "\r", "\r100\rmore\r"}) {
    SCOPED_TRACE(testing::PrintToString(tail));
    const SinkSettings s = ParseConstructorString(lines + tail);
    EXPECT_EQ(RulesOf(s), rules);
    EXPECT_EQ(s.currentAction, "Inbox/Spam\t[Null]\t");
    EXPECT_EQ(s.currentHeaderName, "X-Spam-Flag: YES\tIMFSCL: {> 3}\t");
  }
}

TEST(ConstructorString, RuleIndexStopsAtSixteenBits) {
  const std::string line(40000, '\t');
  const SinkSettings s = ParseConstructorString(line + "\r" + line);
  EXPECT_EQ(s.lastRule, 32767);
  EXPECT_GT(s.actions.size(), 32767u);
  EXPECT_GT(s.headerNames.size(), 32767u);
  EXPECT_GT(s.patterns.size(), 32767u);
}

TEST(ThreadSettings, EachThreadHasItsOwnCopy) {
  ThreadSettings() = ParseConstructorString("A\rX: 1");
  std::thread([] {
    EXPECT_EQ(ThreadSettings().lastRule, -1);
    ThreadSettings() = ParseConstructorString("B\tC\rY: 2\tZ: 3");
    EXPECT_EQ(ThreadSettings().lastRule, 1);
  }).join();
  EXPECT_EQ(ThreadSettings().lastRule, 0);
  EXPECT_EQ(ThreadSettings().actions.at(0), "A");
}

}  // namespace
}  // namespace drossgate::sink
