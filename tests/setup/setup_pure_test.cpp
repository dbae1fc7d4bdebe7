// The setup tool's pieces that need no platform: command line, validations, text derivations,
// the rule rows read back from a constructor string, the parts of a mailbox list entry and the
// order in which a mailbox's URLs are tried.

#include <gtest/gtest.h>

#include <QWidget>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "ConditionTester.h"
#include "Freeze.h"
#include "Items.h"
#include "Mailboxes.h"
#include "RuleRows.h"

namespace drossgate::setup {
namespace {

// A directory value's server or domain, a mail address split at its first "@", and the pattern
// of a rule's condition, which the condition tester opens with.
TEST(Texts, DerivedFromDirectoryValues) {
  struct Case {
    std::string (*derive)(std::string_view);
    const char* value;
    const char* derived;
  };
  const auto split = [](std::string_view mail) {
    const MailAddressParts parts = SplitMail(std::string(mail));
    return parts.mailAlias + "|" + parts.mailDomain;
  };
  const std::vector<Case> cases = {
      {ServerNameOf, "/o=Org/ou=Admin Group/cn=Configuration/cn=Servers/cn=MAIL1", "MAIL1"},
      {ServerNameOf, "CN=a/cn=B", "B"},
      {ServerNameOf, "no marker", ""},
      {DomainOfCategory, "CN=Person,CN=Schema,CN=Configuration,DC=corp,DC=example,DC=com",
       "corp.example.com"},
      {DomainOfCategory, "CN=Person,CN=Schema,CN=Configuration,dc=example,DC=com", "example.com"},
      {DomainOfCategory, "CN=Person,DC= example, DC=com", "example.com"},
      {DomainOfCategory, "CN=Person,CN=Schema", ""},
      {split, "ann@example.com", "ann|example.com"},
      {split, "a@b@c", "a|b@c"},
      {split, "plain", "plain|plain"},
      {split, "", "|"},
      {ConditionPattern, "Subject: [SPAM]", "[SPAM]"},
      {ConditionPattern, "IMFSCL: {> 3}", "{> 3}"},
      {ConditionPattern, "X-Note:   re: offer  ", "re: offer"},
      {ConditionPattern, "Subject:", ""},
      {ConditionPattern, " {*}spam{*} ", " {*}spam{*} "},  // no ":": as is
  };
  for (const Case& c : cases) EXPECT_EQ(c.derive(c.value), c.derived) << c.value;
}

TEST(Freeze, RedrawingResumesWhenTheObjectGoes) {
  QWidget window;
  auto widget = std::make_unique<QWidget>();
  {
    Freeze freeze;
    freeze.Form(window);
    EXPECT_FALSE(window.updatesEnabled());
    freeze.Form(*widget);
    EXPECT_TRUE(window.updatesEnabled());
    EXPECT_FALSE(widget->updatesEnabled());
  }
  EXPECT_TRUE(widget->updatesEnabled());
  {
    Freeze freeze;
    freeze.Form(*widget);
    widget.reset();  // the window may go first
  }
}

// What the window's rows show of an installed sink; "Change rules" writes them back, so a row
// shown with another action would change what the sink does (every action: the window's test).
TEST(RuleRows, ReadBackFromAConstructorString) {
  struct Case {
    const char* name;
    const char* constructorString;
    const char* shown;  // per row "condition|action|target", rows and priority separated by ';'
  };
  const std::vector<Case> cases = {
      {"fewer rules than rows", "Junk\t\rA\t\r12", "A|0|Junk;|0|;|0|;|0|;12"},
      {"nothing installed: the defaults", "", "X-Spam-Flag: YES|0|Spam;|0|;|0|;|0|;65535"},
      {"no priority keeps the one shown", "Junk\rA", "A|0|Junk;|0|;|0|;|0|;65535"},
  };
  for (const Case& c : cases) {
    RuleRows grid;
    grid.rows[1] = {"Old", common::rules::ActionKind::kForward, "Old <o@example.com>"};
    grid.ShowConstructorString(c.constructorString);
    std::string shown;
    for (const common::rules::Row& row : grid.rows)
      shown += row.condition + "|" + std::to_string(static_cast<int>(row.action)) + "|" +
               row.target + ";";
    EXPECT_EQ(shown + grid.priority, c.shown) << c.name;
  }
}

TEST(MailboxEntry, AliasAddressLocalPartDomain) {
  struct Case {
    const char* entry;
    const char* parts;  // alias|address|local part|domain
  };
  const std::vector<Case> cases = {
      {"Ada Lindqvist / MAIL1 / ada.lindqvist@example.com / ada",
       "ada|ada.lindqvist@example.com|ada.lindqvist|example.com"},
      // The display name holds the separator.
      {"Sales / EMEA / MAIL1 / sales@example.com / sales",
       "sales|sales@example.com|sales|example.com"},
      {"Dmitri Orlov / MAIL1 /  / dmitri", "dmitri|||"},
      {"Eve / MAIL1 / eve@example.com / ", "|eve@example.com|eve|example.com"},
      {"Q / MAIL1 / q@a@example.com / q", "q|q@a@example.com|q@a|example.com"},  // the last @
      {"S / MAIL1 / sam / s", "s|sam|sam|sam"},
      {"ada", "ada|ada|ada|ada"},
  };
  for (const Case& c : cases) {
    const EntryParts parts = ParseMailboxEntry(c.entry);
    EXPECT_EQ(parts.alias + "|" + parts.address + "|" + parts.localPart + "|" + parts.domain,
              c.parts)
        << c.entry;
  }
}

const MailboxRoots kRoots{"file://./backofficestorage/store.example/mbx",
                          "http://mail1.example.com/exadmin/store.example/mbx",
                          "mail1.example.com"};

// The attempts written short, separated by blanks: "file:" or "http:" for the store's roots,
// "FILE:" or "HTTP:" for the mail domain's, then the name; a "!" at the end shows its errors.
std::vector<CandidateUrl> Attempts(const std::string& written) {
  std::vector<CandidateUrl> attempts;
  std::istringstream words(written);
  for (std::string word; words >> word;) {
    const size_t colon = word.find(':');
    const std::string root = word.substr(0, colon);
    std::string name = word.substr(colon + 1);
    const bool showErrors = name.back() == '!';
    if (showErrors) name.pop_back();
    const std::string base = root == "file"   ? kRoots.fileFolderUrl
                             : root == "http" ? kRoots.folderUrl
                             : root == "FILE" ? "file://./backofficestorage/mail.example/mbx"
                                              : "http://mail1.example.com/exadmin/mail.example/mbx";
    attempts.push_back({base + "/" + name, showErrors});
  }
  return attempts;
}

TEST(CandidateUrls, TriedInOrderUntilOneSucceeds) {
  struct Case {
    const char* name;
    bool registering;
    const char* entry;
    int succeedsAt;  // 1-based attempt that succeeds; 0: none
    const char* tried;
  };
  const char* ada = "Ada / MAIL1 / ada.l@mail.example / ada";
  const char* eve = "Eve / MAIL1 / eve@mail.example / ";
  const std::vector<Case> cases = {
      {"registration, every attempt fails: only the last logs", true, ada, 0,
       "FILE:ada.l HTTP:ada.l file:ada.l http:ada.l file:ada http:ada!"},
      {"registration without alias logs at its fourth attempt", true, eve, 0,
       "FILE:eve HTTP:eve file:eve http:eve!"},
      {"registration without address tries the alias only", true, "D / MAIL1 /  / dmitri", 0,
       "file:dmitri http:dmitri!"},
      {"registration without any name tries nothing", true, "X / MAIL1 /  / ", 0, ""},
      {"registration stops at the first success", true, ada, 1, "FILE:ada.l"},
      {"unregistration, every attempt fails", false, ada, 0,
       "http:ada.l http:ada! file:ada! file:ada.l"},
      {"unregistration without alias", false, eve, 0, "http:eve file:eve"},
      {"unregistration reached under the alias", false, ada, 2, "http:ada.l http:ada!"},
  };
  for (const Case& c : cases) {
    std::vector<CandidateUrl> tried;
    const TryUrl attempt = [&](const CandidateUrl& candidate) {
      tried.push_back(candidate);
      return static_cast<int>(tried.size()) == c.succeedsAt;
    };
    const bool result = c.registering ? RegisterEntry(c.entry, kRoots, attempt)
                                      : UnregisterEntry(c.entry, kRoots, attempt);
    EXPECT_EQ(result, c.succeedsAt != 0) << c.name;
    const std::vector<CandidateUrl> expected = Attempts(c.tried);
    ASSERT_EQ(tried.size(), expected.size()) << c.name;
    for (size_t i = 0; i < tried.size(); ++i) {
      EXPECT_EQ(tried[i].url, expected[i].url) << c.name << ", attempt " << i + 1;
      EXPECT_EQ(tried[i].showErrors, expected[i].showErrors) << c.name << ", attempt " << i + 1;
    }
  }
}

TEST(CommandLine, UnattendedOptions) {
  const QStringList install = QString(
                                  "--install|--identity|EX\\svc|--password-file|-|--priority|7|"
                                  "--rule|IMFSCL: {> 3}|scl|-1|--rule|--odd|move|--Spam")
                                  .split('|');
  ParsedCommandLine parsed = ParseCommandLine(install);
  ASSERT_TRUE(parsed.error.empty()) << parsed.error;
  const std::vector<RuleOption>& rules = parsed.options.unattended.rules;
  ASSERT_EQ(rules.size(), 2u);
  // The three values of a rule are taken as they stand, leading dashes and all.
  EXPECT_EQ(rules[1].condition + "|" + rules[1].action + "|" + rules[1].target,
            "--odd|move|--Spam");

  struct Case {
    const char* name;
    const char* arguments;  // separated by '|'
    const char* registered;
    const char* unregistered;
    bool batch;
    const char* error;  // a part of the expected error, or nullptr
  };
  // Batch mode comes from the first argument's first two characters.
  const std::vector<Case> cases = {
      {"empty", "", "", "", false, nullptr},
      {"dash b", "-b", "", "", true, nullptr},
      {"upper dash B with more", "-Bogus|x", "", "", true, nullptr},
      {"slash b", "/b", "", "", true, nullptr},
      {"other first argument", "x|-b", "", "", false, nullptr},
      {"long option is no batch switch", "--b", "", "", false, "unknown option"},
      {"mailboxes up to the next long option", "--register|ada|bruno@example.com|-b|--register-all",
       "ada|bruno@example.com|-b", "", false, nullptr},
      {"register repeated adds up", "--register|a|--unregister|c|--register|b", "a|b", "c", false,
       nullptr},
      {"a batch switch after an option without values", "--uninstall|-b", "", "", true, nullptr},
      {"rule needs three values", "--rule|a: b|move", "", "", false, "needs CONDITION"},
      {"a password glued to an unknown option is not repeated", "--password=hunter2", "", "", false,
       "unknown option '--password'"},
  };
  const auto list = [](const char* joined) {
    std::vector<std::string> values;
    for (const QString& value : QString(joined).split('|', Qt::SkipEmptyParts))
      values.push_back(value.toStdString());
    return values;
  };
  for (const Case& c : cases) {
    parsed = ParseCommandLine(QString(c.arguments).split('|', Qt::SkipEmptyParts));
    EXPECT_EQ(parsed.options.unattended.registerMailboxes, list(c.registered)) << c.name;
    EXPECT_EQ(parsed.options.unattended.unregisterMailboxes, list(c.unregistered)) << c.name;
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
