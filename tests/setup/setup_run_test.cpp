// The run behind "CHANGE" on a demo platform, driven the way the unattended options drive it
// (the window is never shown): installation with its validations, read-back, registration per
// mailbox and store-wide, delivery through the installed sink, batch renewal, unregistration
// and uninstallation; and the registration items themselves.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <QCheckBox>
#include <QLineEdit>
#include <QStatusBar>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ComPlus.h"
#include "CommandLine.h"
#include "InstallForm.h"
#include "Items.h"
#include "Unattended.h"
#include "complus/catalog.h"
#include "fault.h"
#include "rules.h"
#include "setup_fixture.h"
#include "store/store.h"
#include "testsupport.h"

namespace drossgate::setup {
namespace {

namespace fs = std::filesystem;
namespace rules = common::rules;
namespace store = platform::store;
namespace complus = platform::complus;
using test::Deliver;
using test::InboxItem;
using test::ItemExists;
using test::SetupPlatform;
using test::Split;

constexpr const char* kPassword = "Pw-7731-unusual";
const std::string kEvents = "http://schemas.microsoft.com/exchange/events/";

// The demo platform with the real sink library in the working folder.
class SetupRun : public ::testing::Test {
 protected:
  SetupRun() {
    fs::copy_file(testing::BinaryDir() / "sink" / "Drossgate.so",
                  platform_.workDir() / "Drossgate.so", fs::copy_options::overwrite_existing);
    passwordFile_ = platform_.workDir() / "password";
    testing::WriteFile(passwordFile_, std::string(kPassword) + "\n");
  }

  struct Result {
    int status;
    std::string out;
    std::string err;
  };
  Result Run(QStringList arguments, const std::string& in = "") {
    for (QString& argument : arguments)
      if (argument == "PASSWORD_FILE") argument = QString::fromStdString(passwordFile_.string());
    const ParsedCommandLine parsed = ParseCommandLine(arguments);
    EXPECT_TRUE(parsed.error.empty()) << parsed.error;
    std::istringstream input(in);
    std::ostringstream out, err;
    const int status = RunUnattended(parsed.options, input, out, err);
    return {status, out.str(), err.str()};
  }
  Result Install(QStringList more = {}) {
    return Run(Split("--install|--identity| EXAMPLE\\svc-filter |--password-file|PASSWORD_FILE|"
                     "--rule|X-Spam-Flag: YES|move|Inbox/Spam|--rule|Subject: [SPAM]|move|Junk|"
                     "--rule|IMFSCL: {> 7}|delete||"
                     "--rule|X-Spam-Level: *****|forward|Spam Desk <spamdesk@example.com>") +
               more);
  }

  std::string Messages() const {
    std::string all;
    for (const test::ShownMessage& m : platform_.messages) all += m.text.toStdString() + "\n";
    return all;
  }

  SetupPlatform platform_;
  fs::path passwordFile_;
};

struct Application {
  std::map<std::string, complus::PropertyValue> properties;
  std::string constructorString;
  bool constructionEnabled = false;
};

std::optional<Application> FindApplication() {
  auto catalog = complus::OpenCatalog();
  auto applications = catalog->GetCollection("Applications");
  applications->Populate();
  for (int32_t i = 0; i < applications->Count(); ++i) {
    complus::CatalogObject& application = applications->Item(i);
    if (application.Name() != "Drossgate") continue;
    Application found;
    for (const std::string& name : application.PropertyNames())
      found.properties[name] = application.Value(name);
    auto components = applications->GetCollection("Components", application.Key());
    components->Populate();
    for (int32_t j = 0; j < components->Count(); ++j) {
      complus::CatalogObject& component = components->Item(j);
      if (component.Name() != kSinkClass) continue;
      found.constructionEnabled = std::get<bool>(component.Value("ConstructionEnabled"));
      found.constructorString = std::get<std::string>(component.Value("ConstructorString"));
    }
    return found;
  }
  return std::nullopt;
}

std::string StoreWideItem(SetupPlatform& platform) {
  const auto system = store::admin::FindMailbox(platform.SystemMailboxAliases().front());
  return system->url + "/" + kStoreWideFolder + "/" + kRegistrationItemName;
}

std::string PropertyText(const std::string& url, const std::string& name) {
  for (const auto& [property, value] : store::admin::Properties(url))
    if (property == name) return store::ValueText(value);
  return "(absent)";
}

int ItemsNamed(const std::string& folderUrl, const std::string& name) {
  int count = 0;
  for (const store::admin::ItemInfo& item : store::admin::List(folderUrl, false))
    count += item.name == name ? 1 : 0;
  return count;
}

std::string Folder(const std::string& url) {
  return url.substr(0, url.rfind('/'));
}

TEST_F(SetupRun, InstallationRefusedBeforeAnyChange) {
  struct Case {
    const char* name;
    const char* identity;
    std::string password;
    const char* rule;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"blank identity", "   ", kPassword, "A: 1|move|Spam", kFillIdentityMessage},
      {"blank password", "EX\\svc", "   ", "A: 1|move|Spam", kFillIdentityMessage},
      {"no recipient", "EX\\svc", kPassword, "A: 1|forward| ", rules::kFillRulesMessage},
      {"line feed in a target", "EX\\svc", kPassword, "A: 1|move|In\nSpam",
       rules::kLineBreakMessage},
      {"a folder the sink would take for a forward", "EX\\svc", kPassword,
       "A: 1|move|Desk <d@x.org>", "would be taken for a forward address"},
      {"a forward target without an address", "EX\\svc", kPassword, "A: 1|forward|Spam Desk",
       "needs an address in angle brackets"},
  };
  for (const Case& c : cases) {
    platform_.messages.clear();
    testing::WriteFile(passwordFile_, c.password + "\n");
    const Result result = Run(QStringList{"--install", "--identity", c.identity, "--password-file",
                                          "PASSWORD_FILE", "--rule"} +
                              Split(c.rule));
    EXPECT_EQ(result.status, 1) << c.name;
    ASSERT_EQ(platform_.messages.size(), 1u) << c.name;
    EXPECT_TRUE(platform_.messages[0].text.contains(c.message)) << c.name;
    EXPECT_EQ(platform_.messages[0].icon, QMessageBox::Warning) << c.name;
    EXPECT_FALSE(FindApplication()) << c.name;
  }
}

// Found: "--rule COND forward ADDRESS" wrote the bare address, which the sink took for a folder
// name, filing mail into a new folder instead of forwarding it.
TEST_F(SetupRun, RulesAreWrittenAsTheSinkReadsThemAndWarnedAbout) {
  const QStringList rule{"--rule", "Subject: {*}[SPAM]{*}", "forward", "desk@example.com"};
  for (const bool strict : {true, false}) {
    platform_.messages.clear();
    const Result result = Run(Split("--install|--identity|EX\\svc|--password-file|PASSWORD_FILE") +
                              rule + (strict ? QStringList{"--strict"} : QStringList{}));
    EXPECT_EQ(result.status, strict ? 1 : 0) << result.err;
    ASSERT_EQ(platform_.messages.size(), 1u);
    EXPECT_EQ(platform_.messages[0].title, "warning");
    EXPECT_TRUE(platform_.messages[0].text.startsWith("rule 1: the pattern")) << Messages();
    EXPECT_EQ(
        test::InstalledConstructorStrings(),
        strict ? std::vector<std::string>{}
               : std::vector<std::string>{"<desk@example.com>\t\rSubject: {*}[SPAM]{*}\t\r65535"});
  }

  // The window asks, and going back installs nothing.
  ASSERT_EQ(Run({"--uninstall"}).status, 0);
  for (const bool goOn : {false, true}) {
    QStringList asked;
    SetQuestionHook([&](const QString&, const QString& text) {
      asked << text;
      return goOn;
    });
    auto form = test::OpenForm();
    form->ui().rows[0].txtSpamTag->setText("Subject: {*}[SPAM]{*}");
    form->ui().txtIdent->setText("EX\\svc");
    form->ui().txtPwd->setText(kPassword);
    form->ui().Check1->setChecked(true);
    form->Command1_Click();
    SetQuestionHook({});
    ASSERT_EQ(asked.size(), 1);
    EXPECT_TRUE(asked[0].contains("rule 1: the pattern")) << asked[0].toStdString();
    EXPECT_EQ(test::InstalledConstructorStrings().size(), goOn ? 1u : 0u);
  }
}

TEST_F(SetupRun, OptionsTheWindowWouldNotAllowAreRefused) {
  struct Case {
    const char* name;
    QStringList arguments;
    int status;  // 64: the command line cannot be used; 1: the window refuses it
    const char* message;
  };
  const std::vector<Case> cases = {
      {"SCL value the field refuses",
       Split("--install|--password-file|PASSWORD_FILE|--rule|S: 1|scl|1."), 1,
       "SCL should be from -1 To 9 (rule 1)"},
      {"priority above the range", {"--install", "--priority", "65536"}, 1, "65535 (lowest)"},
      {"unknown mailbox", {"--register", "nobody"}, 1, "no mailbox 'nobody'"},
      {"unregistering a mailbox without registration",
       {"--unregister", "ada"},
       1,
       "not registered"},
      {"disabled account", {"--register", "carla"}, 1, "'carla' is a disabled account"},
      {"uninstalling what is not installed", {"--uninstall"}, 1, "Drossgate is not installed"},
      {"missing password file",
       {"--install", "--password-file", "/nonexistent/pw"},
       1,
       "cannot read"},
      {"password on the command line", {"--install", "--password", "x"}, 64, "--password-file"},
      {"batch switch", {"-b", "--register-all"}, 64, "batch mode"},
      {"rule without installation",
       {"--rule", "a: b", "move", "c"},
       64,
       "needs --install or --reconfigure"},
      {"reconfiguring what is not installed",
       {"--reconfigure", "--priority", "3"},
       1,
       "Drossgate is not installed"},
      {"five rules", Split("--install" + QString("|--rule|a: 1|move|x").repeated(5)), 64,
       "at most four"},
      {"nothing to do", {"--priority", "5"}, 64, "nothing to do"},
  };
  for (const Case& c : cases) {
    platform_.messages.clear();
    const Result result = Run(c.arguments);
    EXPECT_EQ(result.status, c.status) << c.name;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << c.name << ": " << result.err;
    EXPECT_FALSE(FindApplication()) << c.name;
  }
}

TEST_F(SetupRun, InstallationWritesTheCatalogAndIsReadBack) {
  const Result result = Install({"--priority", "100"});
  ASSERT_EQ(result.status, 0) << result.err << Messages();
  EXPECT_EQ(result.out + result.err, "");

  std::optional<Application> application = FindApplication();
  ASSERT_TRUE(application);
  EXPECT_EQ(application->properties["Identity"], complus::PropertyValue("EXAMPLE\\svc-filter"));
  EXPECT_EQ(application->properties["Password"], complus::PropertyValue(kPassword));
  EXPECT_EQ(application->properties["ApplicationAccessChecksEnabled"],
            complus::PropertyValue(false));
  EXPECT_TRUE(application->constructionEnabled);
  EXPECT_EQ(application->constructorString,
            "Inbox\\Spam\tJunk\t[Null]\tSpam Desk <spamdesk@example.com>\t\r"
            "X-Spam-Flag: YES\tSubject: [SPAM]\tIMFSCL: {> 7}\tX-Spam-Level: *****\t\r100");

  // A new window shows the installed configuration.
  auto form = test::OpenForm();
  const InstallFormControls& ui = form->ui();
  EXPECT_EQ(ui.txtIdent->text(), "EXAMPLE\\svc-filter");
  EXPECT_EQ(ui.txtPriority->text(), "100");

  // The window offers no second installation, and neither does the command line.
  const Result again = Install();
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("installed already"), std::string::npos) << again.err;
}

TEST_F(SetupRun, InstallationWithoutTheSinkLibraryIsRefused) {
  platform_.RemoveSinkLibrary();
  const Result result = Install();
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("Drossgate.so is missing"), std::string::npos) << result.err;
  EXPECT_FALSE(FindApplication());
}

TEST_F(SetupRun, RegisteredMailboxesAreFiltered) {
  ASSERT_EQ(Install().status, 0);
  // By alias and by mail address; bruno's inbox is called Posteingang.
  Result result = Run({"--register", "ada", "BRUNO.KELLER@example.com"});
  ASSERT_EQ(result.status, 0) << result.err << Messages();
  result = Run({"--register-store-wide"});
  ASSERT_EQ(result.status, 0) << result.err << Messages();

  const std::string adaItem = InboxItem("ada");
  const std::string brunoItem = InboxItem("bruno");
  EXPECT_NE(brunoItem.find("/Posteingang/"), std::string::npos) << brunoItem;
  const std::vector<std::pair<std::string, store::Value>> expected = {
      {"DAV:contentclass", std::string("urn:content-class:storeeventreg")},
      {kEvents + "EventMethod", std::string("onsyncsave")},
      {kEvents + "SinkClass", std::string("Drossgate.DrossgateCls")},
      {kEvents + "MatchScope", std::string("SHALLOW")},
      {kEvents + "criteria", std::string(" WHERE \"DAV:ishidden\" = FALSE")},
      {kEvents + "priority", std::string("65535")},
      {"DAV:ishidden", true}};
  for (const std::string& item : {adaItem, brunoItem}) {
    const auto properties = store::admin::Properties(item);
    ASSERT_GE(properties.size(), expected.size()) << item;
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(properties[i], expected[i]) << item;
  }
  EXPECT_EQ(PropertyText(StoreWideItem(platform_), kEvents + "MatchScope"), "ANY");
  EXPECT_FALSE(ItemExists(InboxItem("dmitri")));

  // Per mailbox, and dmitri's mail through the store-wide registration alone.
  const std::string adaInbox = store::admin::FindMailbox("ada")->inboxUrl;
  const std::string brunoInbox = store::admin::FindMailbox("bruno")->inboxUrl;
  const std::string dmitriInbox = store::admin::FindMailbox("dmitri")->inboxUrl;
  const std::string adaRoot = store::admin::FindMailbox("ada")->url;
  EXPECT_EQ(Folder(Deliver(platform_, "ada", "Subject: hello\r\nX-Spam-Flag: YES")),
            adaInbox + "/Spam");
  EXPECT_EQ(Folder(Deliver(platform_, "ada", "Subject: [SPAM] offer")), adaRoot + "/Junk");
  EXPECT_EQ(Folder(Deliver(platform_, "ada", "Subject: lunch")), adaInbox);
  EXPECT_EQ(Deliver(platform_, "bruno", "Subject: win", 9), "");
  EXPECT_EQ(Folder(Deliver(platform_, "bruno", "Subject: x\r\nX-Spam-Flag: YES")),
            brunoInbox + "/Spam");
  EXPECT_EQ(Folder(Deliver(platform_, "dmitri", "Subject: watches\r\nX-Spam-Flag: YES")),
            dmitriInbox + "/Spam");
  EXPECT_EQ(Folder(Deliver(platform_, "dmitri", "Subject: notice")), dmitriInbox);
}

TEST_F(SetupRun, BatchModeRenewsEveryRegistrationWithTheCurrentPriority) {
  ASSERT_EQ(Install({"--priority", "100"}).status, 0);
  ASSERT_EQ(Run({"--register", "ada", "bruno", "--register-store-wide"}).status, 0);
  // An item from an older sink, to be rewritten whole.
  {
    auto record = store::OpenRecord(InboxItem("ada"), nullptr, store::Mode::kReadWrite);
    record->GetFields().Set(kEvents + "SinkClass", std::string("Old.SinkCls"));
    record->GetFields().Update();
  }
  // Reinstalled with another priority; the registrations stay until renewed.
  ASSERT_EQ(Run({"--uninstall"}).status, 0);
  ASSERT_EQ(Install({"--priority", "0"}).status, 0);
  for (const std::string& item : {InboxItem("ada"), InboxItem("bruno"), StoreWideItem(platform_)})
    ASSERT_EQ(PropertyText(item, kEvents + "priority"), "100") << item;

  auto form = test::OpenForm(true);
  EXPECT_FALSE(form->RunRefused());
  EXPECT_EQ(form->ErrorLogText(), "");
  for (const std::string& item : {InboxItem("ada"), InboxItem("bruno"), StoreWideItem(platform_)}) {
    EXPECT_EQ(PropertyText(item, kEvents + "priority"), "0") << item;
    EXPECT_EQ(PropertyText(item, kEvents + "SinkClass"), kSinkClass) << item;
    EXPECT_EQ(ItemsNamed(Folder(item), kRegistrationItemName), 1) << item;
  }
  EXPECT_EQ(PropertyText(StoreWideItem(platform_), kEvents + "MatchScope"), "ANY");
  EXPECT_FALSE(ItemExists(InboxItem("dmitri")));
}

TEST_F(SetupRun, UnregistrationAndUninstallation) {
  ASSERT_EQ(Install().status, 0);
  ASSERT_EQ(Run({"--register-all", "--register-store-wide"}).status, 0);
  for (const char* alias : {"ada", "bruno", "dmitri", "spamdesk"})
    ASSERT_TRUE(ItemExists(InboxItem(alias))) << alias;
  // carla's account is disabled: registered only when asked for, and removable again.
  EXPECT_FALSE(ItemExists(InboxItem("carla")));
  ASSERT_EQ(Run({"--register-all", "--include-disabled"}).status, 0);
  EXPECT_TRUE(ItemExists(InboxItem("carla")));

  Result result = Run({"--unregister", "ada", "carla"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_FALSE(ItemExists(InboxItem("ada")));
  EXPECT_FALSE(ItemExists(InboxItem("carla")));
  ASSERT_EQ(Run({"--register", "carla", "--include-disabled"}).status, 0);
  EXPECT_TRUE(ItemExists(InboxItem("bruno")));
  EXPECT_EQ(Folder(Deliver(platform_, "ada", "Subject: x\r\nX-Spam-Flag: YES")),
            Folder(InboxItem("ada")) + "/Spam")
      << "the store-wide registration still covers ada";

  result = Run({"--unregister-all", "--unregister-store-wide", "--uninstall"});
  ASSERT_EQ(result.status, 0) << result.err;
  for (const char* alias : {"bruno", "carla", "dmitri", "spamdesk"})
    EXPECT_FALSE(ItemExists(InboxItem(alias))) << alias;
  EXPECT_FALSE(ItemExists(StoreWideItem(platform_)));
  EXPECT_FALSE(FindApplication());
  EXPECT_EQ(Folder(Deliver(platform_, "bruno", "Subject: x\r\nX-Spam-Flag: YES")),
            Folder(InboxItem("bruno")));
}

// Found: rules could be changed only by uninstalling, after which the window showed the
// defaults, so the administrator typed all four again and registered every mailbox anew.
TEST_F(SetupRun, ReconfigureChangesTheRulesOfTheInstalledSinkAlone) {
  ASSERT_EQ(Install().status, 0);
  ASSERT_EQ(Run({"--register", "ada"}).status, 0);
  const std::string installed = FindApplication()->constructorString;
  const std::string junk = "Junk\t\rSubject: [SPAM]\t\r7";
  struct Case {
    const char* name;
    QStringList arguments;
    int status;
    std::string constructorString;
  };
  const std::vector<Case> cases = {
      {"a forward without an address is refused", Split("--reconfigure|--rule|A: 1|forward|Desk"),
       1, installed},
      {"a warning refuses with --strict",
       Split("--reconfigure|--strict|--rule|Subject: {*}[SPAM]{*}|move|Junk"), 1, installed},
      {"the priority alone", Split("--reconfigure|--priority|9"), 0,
       installed.substr(0, installed.rfind('\r') + 1) + "9"},
      {"new rules and priority",
       Split("--reconfigure|--rule|Subject: [SPAM]|move|Junk|--priority|7"), 0, junk},
      {"nothing to change", Split("--reconfigure"), 64, junk},
      {"with a password", Split("--reconfigure|--password-file|PASSWORD_FILE|--priority|1"), 64,
       junk},
  };
  for (const Case& c : cases) {
    const Result result = Run(c.arguments);
    EXPECT_EQ(result.status, c.status) << c.name << ": " << result.err << Messages();
    EXPECT_EQ(FindApplication()->constructorString, c.constructorString) << c.name;
  }
  // The identity, its password and the registrations stay; the next delivery's sink has the new
  // rules.
  const std::optional<Application> application = FindApplication();
  EXPECT_EQ(application->properties.at("Identity"), complus::PropertyValue("EXAMPLE\\svc-filter"));
  EXPECT_EQ(application->properties.at("Password"), complus::PropertyValue(kPassword));
  EXPECT_TRUE(ItemExists(InboxItem("ada")));
  const std::string adaInbox = store::admin::FindMailbox("ada")->inboxUrl;
  const std::string adaRoot = store::admin::FindMailbox("ada")->url;
  EXPECT_EQ(Folder(Deliver(platform_, "ada", "Subject: x\r\nX-Spam-Flag: YES")), adaInbox);
  EXPECT_EQ(Folder(Deliver(platform_, "ada", "Subject: [SPAM] offer")), adaRoot + "/Junk");

  // The window: "Change rules" opens the rows of the installed sink, and CHANGE writes them.
  auto form = test::OpenForm();
  const InstallFormControls& ui = form->ui();
  ASSERT_TRUE(ui.chkChangeRules->isVisibleTo(form.get()));
  EXPECT_FALSE(ui.rows[0].txtSpamTag->isEnabled());
  ui.chkChangeRules->click();
  EXPECT_TRUE(ui.rows[0].txtSpamTag->isEnabled());
  EXPECT_TRUE(ui.txtPriority->isEnabled());
  ui.rows[0].txtSpamTag->setText("X-Spam-Flag: YES");
  ui.rows[0].txtSpamFolder->setText("Spam");
  form->Command1_Click();
  EXPECT_EQ(FindApplication()->constructorString, "Spam\t\rX-Spam-Flag: YES\t\r7");
  EXPECT_FALSE(ui.chkChangeRules->isChecked());
  EXPECT_FALSE(ui.rows[0].txtSpamTag->isEnabled());
  EXPECT_EQ(Folder(Deliver(platform_, "ada", "Subject: y\r\nX-Spam-Flag: YES")), adaRoot + "/Spam");
}

// Found: uninstalling asked nothing and left every registration behind, naming a component that
// no longer exists.
TEST_F(SetupRun, UninstallingWithRegistrationsLeftBehindAsksOrWarns) {
  struct Case {
    const char* name;
    QStringList arguments;  // empty: the window, answering the question with removeThem
    bool removeThem;
    bool warnedOrAsked;
    bool itemsLeft;
  };
  const std::vector<Case> cases = {
      {"unattended", {"--uninstall"}, false, true, true},
      {"unattended, unregistering all",
       Split("--unregister-all|--unregister-store-wide|--uninstall"), false, false, false},
      {"the window, answered Yes", {}, true, true, false},
      {"the window, answered No", {}, false, true, true},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Install().status, 0) << c.name;
    ASSERT_EQ(Run({"--register", "ada", "--register-store-wide"}).status, 0) << c.name;
    platform_.messages.clear();
    QStringList asked;
    SetQuestionHook([&](const QString&, const QString& text) {
      asked << text;
      return c.removeThem;
    });
    if (!c.arguments.isEmpty()) {
      EXPECT_EQ(Run(c.arguments).status, 0) << c.name;
    } else {
      auto form = test::OpenForm();
      form->ui().Check6->setChecked(true);
      form->Command1_Click();
    }
    SetQuestionHook({});
    const QString said = asked.join("") + QString::fromStdString(Messages());
    EXPECT_EQ(said.contains("2 registrations"), c.warnedOrAsked)
        << c.name << ": " << said.toStdString();
    EXPECT_FALSE(FindApplication()) << c.name;
    EXPECT_EQ(ItemExists(InboxItem("ada")), c.itemsLeft) << c.name;
    EXPECT_EQ(ItemExists(StoreWideItem(platform_)), c.itemsLeft) << c.name;
    Run(Split("--unregister-all|--unregister-store-wide"));
  }
}

TEST_F(SetupRun, AFailedRegistrationEndsWithTheLog) {
  // In the directory, but the store has no mailbox for it.
  platform_.AddPerson(
      {.cn = "Ghost Writer", .alias = "ghost", .mail = "ghost@example.com", .inStore = false});
  const Result result = Run({"--register", "ghost", "ada"});
  EXPECT_EQ(result.status, 2);
  // One entry from the run, its last attempt only (the refill after the run is not its concern).
  EXPECT_NE(result.err.find("http://mail1.example.com/exadmin/example.com/mbx/ghost - ERROR: "),
            std::string::npos)
      << result.err;
  size_t entries = 0;
  for (size_t at = result.err.find(" - ERROR: "); at != std::string::npos;
       at = result.err.find(" - ERROR: ", at + 1))
    ++entries;
  EXPECT_EQ(entries, 1u) << result.err;
  // The mailbox that could be reached is registered all the same.
  EXPECT_TRUE(ItemExists(InboxItem("ada")));
}

TEST_F(SetupRun, ThePasswordGoesToTheCatalogOnly) {
  // Read from standard input, then a failing installation whose log is printed.
  Result result = Install({"--register-all"});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string all = result.out + result.err;
  ASSERT_EQ(Run({"--uninstall"}).status, 0);
  // A new file (the loaded library stays mapped in this process), and a program of its own
  // to load it.
  fs::remove(platform_.workDir() / "Drossgate.so");
  testing::WriteFile(platform_.workDir() / "Drossgate.so", "not a library");
  const testing::ProcessResult failed = testing::RunProcess(
      {test::SetupProgram(), "--install", "--password-file", "-", "--rule", "A: 1", "move", "Spam"},
      {{"DROSSGATE_PLATFORM", platform_.root().string()}}, std::string(kPassword) + "\r\n");
  // The application stays without its component: the log says why, and that it is damaged.
  EXPECT_EQ(failed.exitCode, 3) << failed.err;
  EXPECT_NE(failed.err.find("Drossgate - ERROR: "), std::string::npos) << failed.err;
  EXPECT_NE(failed.err.find("has no component"), std::string::npos) << failed.err;

  for (const std::string& text : {all, failed.out, failed.err, Messages()})
    EXPECT_EQ(text.find(kPassword), std::string::npos) << text;
  bool inCatalog = false;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(platform_.root())) {
    if (!entry.is_regular_file()) continue;
    const bool found = testing::ReadFile(entry.path()).find(kPassword) != std::string::npos;
    if (entry.path().filename().string().rfind("catalog.db", 0) == 0) {
      inCatalog = inCatalog || found;
    } else {
      EXPECT_FALSE(found) << entry.path();
    }
  }
  EXPECT_TRUE(inCatalog) << "the search would find the password";
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(platform_.workDir())) {
    if (!entry.is_regular_file() || entry.path() == passwordFile_) continue;
    EXPECT_EQ(testing::ReadFile(entry.path()).find(kPassword), std::string::npos) << entry.path();
  }
}

TEST_F(SetupRun, TheWindowWaitsForAnotherRunAndSaysSo) {
  auto form = test::OpenForm();
  form->ui().Check1->setChecked(false);
  // Another run, as far as the lock can tell: a lock taken through a descriptor of its own.
  const int other = open((platform_.root() / "setup.lock").c_str(), O_RDWR);
  ASSERT_EQ(flock(other, LOCK_EX), 0);
  QString shown;
  QTimer::singleShot(300, [&] {
    shown = form->ui().StatusBar1->currentMessage();
    flock(other, LOCK_UN);
  });
  form->Command1_Click();
  close(other);
  EXPECT_EQ(shown, "Waiting for another setup run on this server to end...");
  EXPECT_EQ(form->ui().StatusBar1->currentMessage(), "");
  EXPECT_TRUE(form->globals().InitDone);
}

TEST_F(SetupRun, TheProcessCannotBeDumpedWhileItHoldsThePassword) {
  ASSERT_EQ(prctl(PR_GET_DUMPABLE), 1);
  // Standard input that notes whether a core dump could show what is read from it.
  struct Input : std::streambuf {
    std::string text = std::string(kPassword) + "\n";
    size_t at = 0;
    int dumpable = -1;
    int_type underflow() override {
      if (dumpable < 0) dumpable = prctl(PR_GET_DUMPABLE);
      return at < text.size() ? traits_type::to_int_type(text[at]) : traits_type::eof();
    }
    int_type uflow() override {
      const int_type c = underflow();
      if (c != traits_type::eof()) ++at;
      return c;
    }
  } input;
  std::istream in(&input);
  std::ostringstream out, err;
  const ParsedCommandLine parsed =
      ParseCommandLine(Split("--install|--identity|EX\\svc|--password-file|-|--rule|A: 1|move|B"));
  ASSERT_EQ(RunUnattended(parsed.options, in, out, err), 0) << err.str();
  EXPECT_EQ(input.dumpable, 0);
  EXPECT_EQ(prctl(PR_GET_DUMPABLE), 1) << "once the catalog has it";

  // The window: from the password typed until the catalog has it.
  ASSERT_EQ(Run({"--uninstall"}).status, 0);
  auto form = test::OpenForm();
  form->ui().txtPwd->setText(kPassword);
  EXPECT_EQ(prctl(PR_GET_DUMPABLE), 0);
  form->Command1_Click();
  ASSERT_TRUE(FindApplication());
  EXPECT_TRUE(form->ui().txtPwd->text().isEmpty());
  EXPECT_EQ(prctl(PR_GET_DUMPABLE), 1);
}

// --- The registration items ------------------------------------------------------------

class RegistrationItems : public SetupRun, public ErrorLog {
 protected:
  QString ErrorLogText() const override { return log_; }
  void SetErrorLogText(const QString& text) override { log_ = text; }

  std::string MailboxUrl(const std::string& alias) const {
    return store::admin::FindMailbox(alias)->url;
  }
  std::string Create(const std::string& alias, const std::string& priority, ErrorLog* log) {
    return CreateRegistrationItem(MailboxUrl(alias), "inbox", kRegistrationItemName, kEventMethod,
                                  kSinkClass, "SHALLOW", kCriteria, priority, log);
  }

  QString log_;
};

TEST_F(RegistrationItems, AFailureLeavesNoItemAndLogsWhenAsked) {
  struct Case {
    const char* name;
    const char* fault;
    bool logged;
  };
  const std::vector<Case> cases = {
      {"commit fails, logged", "store.commit", true},
      {"field update fails, not logged", "store.fields.update", false},
  };
  for (const Case& c : cases) {
    log_.clear();
    setenv("DROSSGATE_FAULTS", c.fault, 1);
    platform::ReloadFaults();
    const std::string url = Create("ada", "1", c.logged ? this : nullptr);
    unsetenv("DROSSGATE_FAULTS");
    platform::ReloadFaults();
    EXPECT_EQ(url, "") << c.name;
    EXPECT_FALSE(ItemExists(InboxItem("ada"))) << c.name;
    EXPECT_EQ(log_.contains("injected fault"), c.logged) << c.name << ": " << log_.toStdString();
  }
}

}  // namespace
}  // namespace drossgate::setup
