// The run's pure pieces: target clean-up, the constructor string from the rule rows, the
// parts of a mailbox list entry, the order in which a mailbox's URLs are tried, and the
// unattended options on the command line.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ComPlus.h"
#include "CommandLine.h"
#include "InstallForm.h"
#include "Items.h"

namespace drossgate::setup {
namespace {

TEST(TargetCleanUp, SlashesQuotesColonsAndOuterBackslashes) {
  struct Case {
    const char* name;
    std::string target;
    std::string cleaned;
  };
  const std::vector<Case> cases = {
      {"slash becomes backslash", "Inbox/Junk", "Inbox\\Junk"},
      {"outer backslashes go", "\\Spam\\", "Spam"},
      {"colon goes", "C:Spam", "CSpam"},
      {"trailing backslash before the colon goes", "C:\\", "C"},
      {"blanks, apostrophes and quotes", "  'Spam' ", "Spam"},
      {"quoted display name", "\"Spam Desk\" <desk@example.com>", "Spam Desk <desk@example.com>"},
      {"leading and trailing slashes", "/Inbox/Spam/", "Inbox\\Spam"},
      {"only backslashes", "\\\\\\", ""},
      {"inner backslashes stay", "Inbox\\\\Spam", "Inbox\\\\Spam"},
      {"empty", "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(CleanUpTarget(c.target), c.cleaned) << c.name;
}

struct BuildCase {
  const char* name;
  std::vector<RuleRowText> rows;
  std::string priority;
  std::string constructorString;  // expected when built
  std::string refusal;            // expected when refused
  std::vector<std::string> shown;
};

void CheckBuild(const BuildCase& c) {
  const ConstructorBuild build = BuildConstructorString(c.rows, c.priority);
  EXPECT_EQ(build.refusal, c.refusal) << c.name;
  EXPECT_EQ(build.constructorString, c.constructorString) << c.name;
  EXPECT_EQ(build.shownTargets, c.shown) << c.name;
}

TEST(ConstructorStringBuild, FromTheRuleRows) {
  const std::vector<BuildCase> cases = {
      {"one move row",
       {{"X-Spam-Flag: YES", kActionMove, "Spam"}, {}, {}, {}},
       " 65535 ",
       "Spam\t\rX-Spam-Flag: YES\t\r65535",
       "",
       {"Spam", "", "", ""}},
      {"target path with slashes",
       {{"Subject: [SPAM]", kActionMove, "Inbox/Junk"}},
       "1",
       "Inbox\\Junk\t\rSubject: [SPAM]\t\r1",
       "",
       {"Inbox\\Junk"}},
      {"delete row writes [Null] whatever the box held",
       {{"IMFSCL: {> 7}", kActionDelete, "[NULL]"}, {"X: y", kActionDelete, "Archive"}},
       "0",
       "[Null]\t[Null]\t\rIMFSCL: {> 7}\tX: y\t\r0",
       "",
       {"[Null]", "[Null]"}},
      {"set SCL gets its sign",
       {{"a: 1", kActionSetScl, "5"},
        {"b: 2", kActionSetScl, "-1"},
        {"c: 3", kActionSetScl, "09"},
        {"d: 4", kActionSetScl, "0"}},
       "7",
       "+5\t-1\t+9\t+0\t\ra: 1\tb: 2\tc: 3\td: 4\t\r7",
       "",
       {"5", "-1", "09", "0"}},
      {"signed SCL values stay signed, minus zero is zero",
       {{"a: 1", kActionSetScl, "+3"}, {"b: 2", kActionSetScl, "-0"}},
       "7",
       "+3\t+0\t\ra: 1\tb: 2\t\r7",
       "",
       {"+3", "-0"}},
      {"an unused row in between leaves no gap",
       {{"A: 1", kActionMove, "One"}, {}, {"C: 3", kActionForward, "Desk <d@example.com>"}},
       "65535",
       "One\tDesk <d@example.com>\t\rA: 1\tC: 3\t\r65535",
       "",
       {"One", "", "Desk <d@example.com>"}},
      {"the demo's four rules",
       {{"X-Spam-Flag: YES", kActionMove, "Inbox\\Spam"},
        {"Subject: [SPAM]", kActionMove, "Junk"},
        {"IMFSCL: {> 7}", kActionDelete, ""},
        {"X-Spam-Level: *****", kActionForward, "Spam Desk <spamdesk@example.com>"}},
       "65535",
       "Inbox\\Spam\tJunk\t[Null]\tSpam Desk <spamdesk@example.com>\t\r"
       "X-Spam-Flag: YES\tSubject: [SPAM]\tIMFSCL: {> 7}\tX-Spam-Level: *****\t\r65535",
       "",
       {"Inbox\\Spam", "Junk", "[Null]", "Spam Desk <spamdesk@example.com>"}},
      {"an empty priority leaves the third line empty",
       {{"A: 1", kActionMove, "One"}},
       "",
       "One\t\rA: 1\t\r",
       "",
       {"One"}},
  };
  for (const BuildCase& c : cases) CheckBuild(c);
}

TEST(ConstructorStringBuild, RefusedRows) {
  const std::string fill = kFillRulesMessage;
  const std::string scl = kSclRangeMessage;
  const std::string breaks = kLineBreakMessage;
  const std::vector<BuildCase> cases = {
      {"no row used", {{}, {}, {}, {}}, "65535", "", fill, {"", "", "", ""}},
      {"second move row without target, first complete",
       {{"A: 1", kActionMove, "One"}, {"B: 2", kActionMove, "  "}, {"C: 3", kActionMove, "x"}},
       "1",
       "",
       fill,
       {"One", ""}},
      {"forward row without recipient", {{"A: 1", kActionForward, ""}}, "1", "", fill, {""}},
      {"set SCL row without value", {{"A: 1", kActionSetScl, ""}}, "1", "", fill, {""}},
      {"target without condition, move",
       {{"A: 1", kActionMove, "One"}, {" ", kActionMove, "Two"}},
       "1",
       "",
       fill,
       {"One", "Two"}},
      {"target without condition, set SCL", {{"", kActionSetScl, "5"}}, "1", "", fill, {"5"}},
      {"delete row without condition", {{"", kActionDelete, ""}}, "1", "", fill, {"[Null]"}},
      {"target that cleans up to nothing", {{"A: 1", kActionMove, "\\:\\"}}, "1", "", fill, {""}},
      {"SCL out of range", {{"A: 1", kActionSetScl, "10"}}, "1", "", scl, {"10"}},
      {"SCL with a decimal point", {{"A: 1", kActionSetScl, ".5"}}, "1", "", scl, {".5"}},
      {"SCL with a trailing point", {{"A: 1", kActionSetScl, "1."}}, "1", "", scl, {"1."}},
      {"SCL below -1", {{"A: 1", kActionSetScl, "-2"}}, "1", "", scl, {"-2"}},
      {"TAB in a condition", {{"A: 1\tB: 2", kActionMove, "One"}}, "1", "", breaks, {}},
      {"line feed in a target", {{"A: 1", kActionMove, "One\nTwo"}}, "1", "", breaks, {}},
      {"carriage return in a later row",
       {{"A: 1", kActionMove, "One"}, {"B:\r2", kActionMove, "Two"}},
       "1",
       "",
       breaks,
       {}},
      {"line break in an otherwise empty row",
       {{"A: 1", kActionMove, "One"}, {"\n", kActionMove, ""}},
       "1",
       "",
       breaks,
       {}},
  };
  for (const BuildCase& c : cases) CheckBuild(c);
}

TEST(MailboxEntry, AliasAddressLocalPartDomain) {
  struct Case {
    const char* name;
    std::string entry;
    EntryParts parts;
  };
  const std::vector<Case> cases = {
      {"an ordinary entry",
       "Ada Lindqvist / MAIL1 / ada.lindqvist@example.com / ada",
       {"ada", "ada.lindqvist@example.com", "ada.lindqvist", "example.com"}},
      {"a display name with the separator in it",
       "Sales / EMEA / MAIL1 / sales@example.com / sales",
       {"sales", "sales@example.com", "sales", "example.com"}},
      {"a disabled account",
       "Carla Diaz [***DISABLED***] / MAIL1 / carla@example.com / carla",
       {"carla", "carla@example.com", "carla", "example.com"}},
      {"no mail address", "Dmitri Orlov / MAIL1 /  / dmitri", {"dmitri", "", "", ""}},
      {"no alias",
       "Eve / MAIL1 / eve@example.com / ",
       {"", "eve@example.com", "eve", "example.com"}},
      {"the last @ splits",
       "Q / MAIL1 / q@a@example.com / q",
       {"q", "q@a@example.com", "q@a", "example.com"}},
      {"an @ in front is no split",
       "R / MAIL1 / @example.com / r",
       {"r", "@example.com", "@example.com", "@example.com"}},
      {"no @ at all", "S / MAIL1 / sam / s", {"s", "sam", "sam", "sam"}},
      {"one separator only", "t@example.com / t", {"t", "t@example.com", "t", "example.com"}},
      {"no separator", "ada", {"ada", "ada", "ada", "ada"}},
  };
  for (const Case& c : cases) {
    const EntryParts parts = ParseMailboxEntry(c.entry);
    EXPECT_EQ(parts.alias, c.parts.alias) << c.name;
    EXPECT_EQ(parts.address, c.parts.address) << c.name;
    EXPECT_EQ(parts.localPart, c.parts.localPart) << c.name;
    EXPECT_EQ(parts.domain, c.parts.domain) << c.name;
  }
}

const MailboxRoots kRoots{"file://./backofficestorage/store.example/mbx",
                          "http://mail1.example.com/exadmin/store.example/mbx",
                          "mail1.example.com"};

struct OrderCase {
  const char* name;
  bool registering;
  std::string entry;
  int succeedsAt;  // 1-based attempt that succeeds; 0: none
  std::vector<CandidateUrl> tried;
  bool result;
};

TEST(CandidateUrls, TriedInOrderUntilOneSucceeds) {
  const std::string file = "file://./backofficestorage/store.example/mbx/";
  const std::string http = "http://mail1.example.com/exadmin/store.example/mbx/";
  const std::string ada = "Ada / MAIL1 / ada.l@mail.example / ada";
  const std::vector<OrderCase> cases = {
      {"registration, every attempt fails: only the last logs",
       true,
       ada,
       0,
       {{"file://./backofficestorage/mail.example/mbx/ada.l", false},
        {"http://mail1.example.com/exadmin/mail.example/mbx/ada.l", false},
        {file + "ada.l", false},
        {http + "ada.l", false},
        {file + "ada", false},
        {http + "ada", true}},
       false},
      {"registration without alias logs at its fourth attempt",
       true,
       "Eve / MAIL1 / eve@mail.example / ",
       0,
       {{"file://./backofficestorage/mail.example/mbx/eve", false},
        {"http://mail1.example.com/exadmin/mail.example/mbx/eve", false},
        {file + "eve", false},
        {http + "eve", true}},
       false},
      {"registration without address tries the alias only",
       true,
       "Dmitri / MAIL1 /  / dmitri",
       0,
       {{file + "dmitri", false}, {http + "dmitri", true}},
       false},
      {"registration without any name tries nothing", true, "X / MAIL1 /  / ", 0, {}, false},
      {"registration stops at the first success",
       true,
       ada,
       1,
       {{"file://./backofficestorage/mail.example/mbx/ada.l", false}},
       true},
      {"registration succeeds at its third attempt",
       true,
       ada,
       3,
       {{"file://./backofficestorage/mail.example/mbx/ada.l", false},
        {"http://mail1.example.com/exadmin/mail.example/mbx/ada.l", false},
        {file + "ada.l", false}},
       true},
      {"unregistration, every attempt fails",
       false,
       ada,
       0,
       {{http + "ada.l", false},
        {http + "ada", true},
        {file + "ada", true},
        {file + "ada.l", false}},
       false},
      {"unregistration without alias",
       false,
       "Eve / MAIL1 / eve@mail.example / ",
       0,
       {{http + "eve", false}, {file + "eve", false}},
       false},
      {"unregistration reached under the alias",
       false,
       ada,
       2,
       {{http + "ada.l", false}, {http + "ada", true}},
       true},
  };
  for (const OrderCase& c : cases) {
    std::vector<CandidateUrl> tried;
    const TryUrl attempt = [&](const CandidateUrl& candidate) {
      tried.push_back(candidate);
      return static_cast<int>(tried.size()) == c.succeedsAt;
    };
    const bool result = c.registering ? RegisterEntry(c.entry, kRoots, attempt)
                                      : UnregisterEntry(c.entry, kRoots, attempt);
    EXPECT_EQ(result, c.result) << c.name;
    ASSERT_EQ(tried.size(), c.tried.size()) << c.name;
    for (size_t i = 0; i < tried.size(); ++i) {
      EXPECT_EQ(tried[i].url, c.tried[i].url) << c.name << ", attempt " << i + 1;
      EXPECT_EQ(tried[i].showErrors, c.tried[i].showErrors) << c.name << ", attempt " << i + 1;
    }
  }
}

TEST(CommandLine, UnattendedOptions) {
  const QStringList install = {"--install",
                               "--identity",
                               "EX\\svc",
                               "--password-file",
                               "-",
                               "--priority",
                               "7",
                               "--rule",
                               "IMFSCL: {> 3}",
                               "scl",
                               "-1",
                               "--rule",
                               "--odd",
                               "move",
                               "--Spam"};
  ParsedCommandLine parsed = ParseCommandLine(install);
  ASSERT_TRUE(parsed.error.empty()) << parsed.error;
  const UnattendedOptions& o = parsed.options.unattended;
  EXPECT_TRUE(o.active);
  EXPECT_TRUE(o.install);
  EXPECT_EQ(o.identity.value_or(""), "EX\\svc");
  EXPECT_EQ(o.passwordFile.value_or(""), "-");
  EXPECT_EQ(o.priority.value_or(""), "7");
  ASSERT_EQ(o.rules.size(), 2u);
  EXPECT_EQ(o.rules[0].condition, "IMFSCL: {> 3}");
  EXPECT_EQ(o.rules[0].action, "scl");
  EXPECT_EQ(o.rules[0].target, "-1");
  // The three values of a rule are taken as they stand, leading dashes and all.
  EXPECT_EQ(o.rules[1].condition, "--odd");
  EXPECT_EQ(o.rules[1].target, "--Spam");
  EXPECT_FALSE(parsed.options.batchMode);

  struct Case {
    const char* name;
    QStringList arguments;
    std::vector<std::string> registered;
    std::vector<std::string> unregistered;
    bool batch;
    const char* error;  // a part of the expected error, or nullptr
  };
  const std::vector<Case> cases = {
      {"mailboxes up to the next long option",
       {"--register", "ada", "bruno@example.com", "-b", "--register-all"},
       {"ada", "bruno@example.com", "-b"},
       {},
       false,
       nullptr},
      {"register repeated adds up",
       {"--register", "a", "--unregister", "c", "--register", "b"},
       {"a", "b"},
       {"c"},
       false,
       nullptr},
      {"a batch switch after an option without values",
       {"--uninstall", "-b"},
       {},
       {},
       true,
       nullptr},
      {"register needs a mailbox", {"--register"}, {}, {}, false, "needs MAILBOX"},
      {"rule needs three values", {"--rule", "a: b", "move"}, {}, {}, false, "needs CONDITION"},
      {"a password glued to an unknown option is not repeated",
       {"--password=hunter2"},
       {},
       {},
       false,
       "unknown option '--password'"},
  };
  for (const Case& c : cases) {
    parsed = ParseCommandLine(c.arguments);
    EXPECT_EQ(parsed.options.unattended.registerMailboxes, c.registered) << c.name;
    EXPECT_EQ(parsed.options.unattended.unregisterMailboxes, c.unregistered) << c.name;
    EXPECT_EQ(parsed.options.batchMode, c.batch) << c.name;
    if (c.error) {
      EXPECT_NE(parsed.error.find(c.error), std::string::npos) << c.name << ": " << parsed.error;
      EXPECT_EQ(parsed.error.find("hunter2"), std::string::npos) << c.name;
    } else {
      EXPECT_TRUE(parsed.error.empty()) << c.name << ": " << parsed.error;
    }
  }
}

}  // namespace
}  // namespace drossgate::setup
