#include <gtest/gtest.h>

#include "DrossgateModule.h"
#include "PickupDir.h"
#include "SinkSettings.h"
#include "basRegistry.h"
#include "directory/directory.h"
#include "fake_record.h"
#include "store/names.h"

namespace drossgate::sink {
namespace {

using testing::FakeRecord;
namespace names = platform::store::names;

const std::string kBlock =
    "Received: from mx.example.net\r\n"
    "x-spam-flag:   yes, score=7\r\n"
    "X-Spam-Level: ******\r\n"
    "Subject: cheap pills\r\n"
    " continued on a folded line\r\n"
    "\tX-Hidden: NO\r\n"
    "X-Dup: NO\r\n"
    "X-Dup: YES\r\n"
    "X-Tabbed: YES\t\r\n"
    "X-Pair: YES\r\n"
    "X-Other: 1\r\n"
    "X-Hidden: YES\r\n";

struct HeaderCase {
  const char* name;
  const char* header;
  const char* pattern;
  bool expected;
};

class HeaderLine : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderLine, FirstLineOfTheNameDecides) {
  const HeaderCase& c = GetParam();
  EXPECT_EQ(HeaderLineTest(kBlock, c.header, c.pattern), c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeaderLine,
    ::testing::Values(HeaderCase{"NameAndValueIgnoreCase", "X-Spam-Flag", "YES", true},
                      HeaderCase{"ValueTrimmedPatternIsPrefix", "x-spam-flag", "yes, score", true},
                      HeaderCase{"StarsByPrefix", "X-Spam-Level", "*****", true},
                      HeaderCase{"TooManyStars", "X-Spam-Level", "*******", false},
                      HeaderCase{"FirstOccurrenceOnly", "X-Dup", "YES", false},
                      HeaderCase{"FoldedLineNotJoined", "Subject", "cheap pills continued", false},
                      // Found: a folded line posing as a header hid the scanner's verdict.
                      HeaderCase{"FoldedLineIsNoHeaderLine", "X-Hidden", "YES", true},
                      HeaderCase{"MissingHeader", "X-Absent", "", false},
                      HeaderCase{"EmptyPatternMatchesAnyValue", "X-Other", "", true},
                      HeaderCase{"NumericThroughMatcher", "X-Other", "{< 2}", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HeaderLine, ValueWithoutSpaceAfterColon) {
  EXPECT_TRUE(HeaderLineTest("X-Spam-Flag:YES\r\n", "X-Spam-Flag", "YES"));
  EXPECT_FALSE(HeaderLineTest("X-Spam-Flag:   \r\n", "X-Spam-Flag", ""));
}

struct RuleCase {
  const char* name;
  const char* constructor;
  int expected;  // matching rule index, -1 for none
};

class Rules : public ::testing::TestWithParam<RuleCase> {};

TEST_P(Rules, FirstMatchingRuleWins) {
  const RuleCase& c = GetParam();
  FakeRecord record;
  record.fields.Set(names::kTransportHeadersName, kBlock);
  record.fields.Set(names::kSubjectName, std::string("  [SPAM] Cheap pills  "));
  record.fields.Set(names::kSclName, int32_t{7});
  SinkSettings s = ParseConstructorString(c.constructor);
  EXPECT_EQ(EvaluateRules(record, s), c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Rules,
    ::testing::Values(RuleCase{"SubjectPrefix", "Junk\rsubject: [spam]", 0},
                      RuleCase{"SclRange", "+9\rIMFSCL: {> 6 < 8}", 0},
                      RuleCase{"SclNoMatch", "+9\rIMFSCL: {> 7}", -1},
                      RuleCase{"FirstOfTwoMatches", "A\tB\rX-Spam-Flag: YES\tSubject: [SPAM]", 0},
                      RuleCase{"EmptyActionSkipped", "\tB\rX-Spam-Flag: YES\tSubject: [SPAM]", 1},
                      RuleCase{"EmptyHeaderNameNeverMatches", "A\r: YES", -1},
                      RuleCase{"LiteralSearchAcrossLines", "A\rX-Pair: YESvbCrLfX-Other: 1", 0},
                      RuleCase{"LiteralSearchAnyCase", "A\rX-Pair: yesVBCRLFx-other: 1", 0},
                      RuleCase{"LiteralSearchNotTiedToLineStart", "A\rTabbed: YESvbTab", 0},
                      RuleCase{"PlainPatternNeedsWholeName", "A\rTabbed: YES", -1},
                      RuleCase{"LiteralTabSearch", "A\rX-Tabbed: YESvbTab", 0},
                      RuleCase{"LeadingLineFeedNeverMatches", "A\r\nX-Spam-Flag: YES", -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Rules, MessageWithoutSclNeverMatchesSclRule) {
  FakeRecord record;
  SinkSettings s = ParseConstructorString("+9\rIMFSCL: {< 100}");
  EXPECT_EQ(EvaluateRules(record, s), -1);
}

TEST(Rules, CurrentFieldsStayOnTheMatchingRule) {
  FakeRecord record;
  record.fields.Set(names::kTransportHeadersName, kBlock);
  SinkSettings s =
      ParseConstructorString("Spam Desk <desk@example.com>\tJunk\rX-Spam-Flag: YES\tX-Other: 1");
  ASSERT_EQ(EvaluateRules(record, s), 0);
  EXPECT_EQ(s.currentAction, "Spam Desk <desk@example.com>");
  EXPECT_EQ(s.currentHeaderName, "X-Spam-Flag");
  EXPECT_EQ(s.currentPattern, "YES");
}

TEST(Pickup, FileNameHasNoLeadingZeros) {
  EXPECT_EQ(platform::store::names::PickupFileName(5, 12, 2004, 14, 7, 4711), "51220041474711.eml");
  EXPECT_EQ(platform::store::names::PickupFileName(1, 1, 2005, 9, 5, 3).substr(0, 8), "11200595");
}

TEST(Pickup, EnvelopeTextRefusesLineBreaks) {
  EXPECT_TRUE(IsSafeEnvelopeText("Spam Desk <desk@example.com>"));
  EXPECT_FALSE(IsSafeEnvelopeText("a@b\r\nx-receiver: evil@x"));
  EXPECT_FALSE(IsSafeEnvelopeText(std::string("a@b\0c", 5)));
}

TEST(Pickup, SharePath) {
  using namespace std::string_literals;
  struct {
    std::string data;
    std::string expected;
  } cases[] = {
      {"CSCFlags=0\0MaxUses=4294967295\0Path=D:\\mail\\pickup\0Permissions=0\0\0"s,
       "D:\\mail\\pickup"},
      {"path=/srv/pickup\0"s, "/srv/pickup"},
      {"Path\0Remark=x\0"s, ""},
      {"MaxUses=1\0"s, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(common::ParseSharePath(c.data), c.expected);
}

TEST(Pickup, ServerPathRewrite) {
  EXPECT_EQ(
      SmtpServerPath("LDAP://dc1/CN=EX1,CN=Servers,CN=First Administrative Group,O=x"),
      "LDAP://dc1/CN=1,CN=SMTP,CN=Protocols,CN=EX1,CN=Servers,CN=First Administrative Group,O=x");
  EXPECT_EQ(SmtpServerPath("LDAP://dc1/CN=EX1,OU=elsewhere"), "LDAP://dc1/CN=EX1,OU=elsewhere");
  EXPECT_EQ(HomeServerFromValue("/O=ORG/OU=SITE/CN=CONFIGURATION/CN=SERVERS/CN=EX1"), "EX1");
  EXPECT_EQ(HomeServerFromValue("NOCNHERE"), "NOCNHERE");
  EXPECT_EQ(HomeServerFromValue("/CN="), "/CN=");
  EXPECT_EQ(platform::directory::QuoteQueryValue("o'brien"), "o''brien");
}

}  // namespace
}  // namespace drossgate::sink
