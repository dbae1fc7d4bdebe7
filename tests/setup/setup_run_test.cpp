// The run behind "CHANGE" on a demo platform with the real sink, driven the way the unattended
// options drive it (the window is never shown), and the program as a process, whose exit
// status tells a script what happened.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <QStatusBar>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "CommandLine.h"
#include "Items.h"
#include "Unattended.h"
#include "complus/catalog.h"
#include "error.h"
#include "fault.h"
#include "rules.h"
#include "setup_fixture.h"
#include "store/store.h"
#include "text.h"

namespace drossgate::setup {
namespace {

namespace fs = std::filesystem;
namespace rules = common::rules;
namespace store = platform::store;
namespace complus = platform::complus;
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

  // The program as a process on this platform, and an installation by it.
  testing::ProcessResult Setup(const std::vector<std::string>& arguments) {
    return test::RunSetupProgram(arguments, platform_.root().string());
  }
  std::vector<std::string> InstallCommand() const {
    return {
        test::SetupProgram(),   "--install", "--identity",       "EXAMPLE\\svc", "--password-file",
        passwordFile_.string(), "--rule",    "X-Spam-Flag: YES", "move",         "Spam"};
  }
  testing::ProcessResult InstallByProcess() { return testing::RunProcess(InstallCommand()); }

  // The window's questions are answered yes or no, and kept in asked.
  void Answer(bool yes) {
    asked.clear();
    SetQuestionHook([this, yes](const QString&, const QString& text) {
      asked << text;
      return yes;
    });
  }
  ~SetupRun() override { SetQuestionHook({}); }
  QStringList asked;

  std::string Messages() const {
    std::string all;
    for (const test::ShownMessage& m : platform_.messages) all += m.text.toStdString() + "\n";
    return all;
  }

  SetupPlatform platform_;
  fs::path passwordFile_;
};

// An application named Drossgate (any case), with its sink component's constructor string
// when construction is enabled.
struct Application {
  std::map<std::string, complus::PropertyValue> properties;
  std::string constructorString = "(none)";
};

std::vector<Application> Applications() {
  std::vector<Application> found;
  auto applications = complus::OpenCatalog()->GetCollection("Applications");
  applications->Populate();
  for (int32_t i = 0; i < applications->Count(); ++i) {
    complus::CatalogObject& application = applications->Item(i);
    if (!text::EqualsNoCase(application.Name(), kProjectName)) continue;
    Application& app = found.emplace_back();
    for (const std::string& name : application.PropertyNames())
      app.properties[name] = application.Value(name);
    auto components = applications->GetCollection("Components", application.Key());
    components->Populate();
    for (int32_t j = 0; j < components->Count(); ++j) {
      complus::CatalogObject& component = components->Item(j);
      const complus::PropertyValue value = component.Value("ConstructorString");
      const auto* text = std::get_if<std::string>(&value);
      if (component.Name() == kSinkClass && text &&
          std::get<bool>(component.Value("ConstructionEnabled")))
        app.constructorString = *text;
    }
  }
  return found;
}

std::vector<std::string> ConstructorStrings() {
  std::vector<std::string> strings;
  for (const Application& application : Applications())
    strings.push_back(application.constructorString);
  return strings;
}

// Delivers a message through the platform tool; where it is afterwards, "" when gone, "(waits)"
// when the delivery waits with its sender (exit 75).
std::string Deliver(const SetupPlatform& platform, const std::string& alias,
                    const std::string& headers, std::optional<int> scl = std::nullopt) {
  const std::string source = "From: sender@outside.example\r\nTo: " + alias + "@example.com\r\n" +
                             headers + "\r\n\r\nBody\r\n";
  std::vector<std::string> arguments = {"deliver", "--to", alias, "-"};
  if (scl) arguments.insert(arguments.begin() + 3, {"--scl", std::to_string(*scl)});
  const testing::ProcessResult result =
      testing::RunPlatformTool(platform.root(), arguments, {}, source);
  if (result.exitCode == 75) return "(waits)";
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const nlohmann::json line = nlohmann::json::parse(result.out);
  return line["now"].is_null() ? std::string() : line["now"].get<std::string>();
}

std::string InboxItem(const std::string& alias) {
  return store::admin::FindMailbox(alias)->inboxUrl + "/" + kRegistrationItemName;
}

std::string StoreWideItem(SetupPlatform& platform) {
  const auto system = store::admin::FindMailbox(platform.SystemMailboxAliases().front());
  return system->url + "/" + kStoreWideFolder + "/" + kRegistrationItemName;
}

bool ItemExists(const std::string& url) {
  return platform::SkipOnError([&] { store::admin::Properties(url); });
}

// The demo's mailboxes whose inbox holds a registration item, then "store-wide".
std::string Registered(SetupPlatform& platform) {
  std::string registered;
  for (const char* alias : {"ada", "bruno", "carla", "dmitri", "spamdesk"})
    if (ItemExists(InboxItem(alias))) registered += std::string(alias) + " ";
  if (ItemExists(StoreWideItem(platform))) registered += "store-wide ";
  return registered.substr(0, registered.empty() ? 0 : registered.size() - 1);
}

std::string Folder(const std::string& url) {
  return url.substr(0, url.rfind('/'));
}

// Every refusal, whether the command line cannot be used (64) or the window would refuse it (1),
// comes before any change.
TEST_F(SetupRun, RefusedBeforeAnyChange) {
  struct Case {
    const char* name;
    QString arguments;  // separated by '|'; "I|" stands for an installation as far as its rules
    int status;
    const char* message;  // in stderr or a message box
    std::string password = kPassword;
  };
  const std::vector<Case> cases = {
      {"blank identity",
       "--install|--identity|   |--password-file|PASSWORD_FILE|--rule|A: 1|move|Spam", 1,
       kFillIdentityMessage},
      {"blank password", "I|A: 1|move|Spam", 1, kFillIdentityMessage, "   "},
      {"no recipient", "I|A: 1|forward| ", 1, rules::kFillRulesMessage},
      {"line feed in a target", "I|A: 1|move|In\nSpam", 1, rules::kLineBreakMessage},
      {"a folder the sink would take for a forward", "I|A: 1|move|Desk <d@x.org>", 1,
       "would be taken for a forward address"},
      {"a forward target without an address", "I|A: 1|forward|Spam Desk", 1,
       "needs an address in angle brackets"},
      {"SCL value the field refuses", "--install|--password-file|PASSWORD_FILE|--rule|S: 1|scl|1.",
       1, "SCL should be from -1 To 9 (rule 1)"},
      {"priority above the range", "--install|--priority|65536", 1, "65535 (lowest)"},
      {"unknown mailbox", "--register|nobody", 1, "no mailbox 'nobody'"},
      {"unregistering a mailbox without registration", "--unregister|ada", 1, "not registered"},
      {"disabled account", "--register|carla", 1, "'carla' is a disabled account"},
      {"uninstalling what is not installed", "--uninstall", 1, "Drossgate is not installed"},
      {"missing password file", "--install|--password-file|/nonexistent/pw", 1, "cannot read"},
      {"password on the command line", "--install|--password|x", 64, "--password-file"},
      {"batch switch", "-b|--register-all", 64, "batch mode"},
      {"reconfiguring what is not installed", "--reconfigure|--priority|3", 1,
       "Drossgate is not installed"},
      {"five rules", "--install" + QString("|--rule|a: 1|move|x").repeated(5), 64, "at most four"},
      {"no sink library (removed for this last row)", "I|A: 1|move|Spam", 1,
       "Drossgate.so is missing"},
  };
  for (const Case& c : cases) {
    platform_.messages.clear();
    testing::WriteFile(passwordFile_, c.password + "\n");
    if (&c == &cases.back()) platform_.RemoveSinkLibrary();
    QString arguments = c.arguments;
    if (arguments.startsWith("I|"))
      arguments.replace(0, 2, "--install|--identity|EX\\svc|--password-file|PASSWORD_FILE|--rule|");
    const Result result = Run(Split(arguments));
    EXPECT_EQ(result.status, c.status) << c.name;
    const std::string said = result.err + Messages();
    EXPECT_NE(said.find(c.message), std::string::npos) << c.name << ": " << said;
    EXPECT_TRUE(Applications().empty()) << c.name;
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
        ConstructorStrings(),
        strict ? std::vector<std::string>{}
               : std::vector<std::string>{"<desk@example.com>\t\rSubject: {*}[SPAM]{*}\t\r65535"});
  }

  // The window asks, and going back installs nothing.
  ASSERT_EQ(Run({"--uninstall"}).status, 0);
  for (const bool goOn : {false, true}) {
    Answer(goOn);
    auto form = test::OpenForm();
    form->ui().rows[0].txtSpamTag->setText("Subject: {*}[SPAM]{*}");
    form->ui().txtIdent->setText("EX\\svc");
    form->ui().txtPwd->setText(kPassword);
    form->ui().Check1->setChecked(true);
    form->Command1_Click();
    ASSERT_EQ(asked.size(), 1);
    EXPECT_TRUE(asked[0].contains("rule 1: the pattern")) << asked[0].toStdString();
    EXPECT_EQ(ConstructorStrings().size(), goOn ? 1u : 0u);
  }
}

// Runs in turn on one platform: after each, the registration items in the store and where
// mail goes.
TEST_F(SetupRun, RegistrationDecidesWhereMailGoes) {
  struct Delivery {
    const char* alias;
    const char* headers;
    std::optional<int> scl;
    const char* where;  // the folder under the mailbox, or "(deleted)"
  };
  struct Step {
    const char* name;
    const char* arguments;  // separated by '|'
    const char* registered;
    std::vector<Delivery> mail{};
  };
  const std::vector<Step> steps = {
      // bruno's inbox is called Posteingang.
      {"by alias and by mail address, and store-wide",
       "--register|ada|BRUNO.KELLER@example.com|--register-store-wide",
       "ada bruno store-wide",
       {{"ada", "Subject: hello\r\nX-Spam-Flag: YES", {}, "Inbox/Spam"},
        {"ada", "Subject: [SPAM] offer", {}, "Junk"},
        {"ada", "Subject: lunch", {}, "Inbox"},
        {"bruno", "Subject: win", 9, "(deleted)"},
        {"bruno", "Subject: x\r\nX-Spam-Flag: YES", {}, "Posteingang/Spam"},
        // dmitri's mail through the store-wide registration alone.
        {"dmitri", "Subject: watches\r\nX-Spam-Flag: YES", {}, "Inbox/Spam"},
        {"dmitri", "Subject: notice", {}, "Inbox"}}},
      {"all but the disabled account", "--register-all", "ada bruno dmitri spamdesk store-wide"},
      {"the disabled account when asked for", "--register-all|--include-disabled",
       "ada bruno carla dmitri spamdesk store-wide"},
      {"unregistered again",
       "--unregister|ada|carla",
       "bruno dmitri spamdesk store-wide",
       // The store-wide registration still covers ada.
       {{"ada", "Subject: x\r\nX-Spam-Flag: YES", {}, "Inbox/Spam"}}},
      {"one disabled account", "--register|carla|--include-disabled",
       "bruno carla dmitri spamdesk store-wide"},
      {"everything removed",
       "--unregister-all|--unregister-store-wide|--uninstall",
       "",
       {{"bruno", "Subject: x\r\nX-Spam-Flag: YES", {}, "Posteingang"}}},
  };
  ASSERT_EQ(Install().status, 0);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    const Result result = Run(Split(step.arguments));
    ASSERT_EQ(result.status, 0) << result.err << Messages();
    EXPECT_EQ(Registered(platform_), step.registered);
    for (const Delivery& d : step.mail) {
      const std::string root = store::admin::FindMailbox(d.alias)->url + "/";
      const std::string now = Deliver(platform_, d.alias, d.headers, d.scl);
      EXPECT_EQ(now.empty() ? "(deleted)" : Folder(now.substr(root.size())), d.where)
          << d.alias << ": " << d.headers;
    }
  }
  EXPECT_TRUE(Applications().empty());
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
  const std::vector<std::string> items = {InboxItem("ada"), InboxItem("bruno"),
                                          StoreWideItem(platform_)};
  for (const std::string& item : items)
    ASSERT_EQ(store::ValueText(store::admin::Properties(item).at(5).second), "100") << item;

  auto form = test::OpenForm(true);
  EXPECT_FALSE(form->RunRefused());
  EXPECT_EQ(form->ErrorLogText(), "");
  // Each item as the sink's registration needs it, once; store-wide it matches the whole store.
  for (const std::string& item : items) {
    const std::vector<std::pair<std::string, store::Value>> expected = {
        {"DAV:contentclass", std::string("urn:content-class:storeeventreg")},
        {kEvents + "EventMethod", std::string("onsyncsave")},
        {kEvents + "SinkClass", std::string("Drossgate.DrossgateCls")},
        {kEvents + "MatchScope", std::string(item == items.back() ? "ANY" : "SHALLOW")},
        {kEvents + "criteria", std::string(" WHERE \"DAV:ishidden\" = FALSE")},
        {kEvents + "priority", std::string("0")},
        {"DAV:ishidden", true}};
    auto properties = store::admin::Properties(item);
    ASSERT_GE(properties.size(), expected.size()) << item;
    properties.resize(expected.size());
    EXPECT_EQ(properties, expected) << item;
    const auto listed = store::admin::List(Folder(item), false);
    EXPECT_EQ(std::count_if(listed.begin(), listed.end(),
                            [](const auto& i) { return i.name == kRegistrationItemName; }),
              1)
        << item;
  }
  EXPECT_FALSE(ItemExists(InboxItem("dmitri")));
}

// Found: rules could be changed only by uninstalling, after which the window showed the
// defaults, so the administrator typed all four again and registered every mailbox anew.
TEST_F(SetupRun, ReconfigureChangesTheRulesOfTheInstalledSinkAlone) {
  const Result first = Install();
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out + first.err, "") << "an installation says nothing";
  EXPECT_NE(Install().err.find("installed already"), std::string::npos) << "no second one";
  ASSERT_EQ(Run({"--register", "ada"}).status, 0);
  const std::string installed = Applications().at(0).constructorString;
  EXPECT_EQ(installed,
            "Inbox\\Spam\tJunk\t[Null]\tSpam Desk <spamdesk@example.com>\t\r"
            "X-Spam-Flag: YES\tSubject: [SPAM]\tIMFSCL: {> 7}\tX-Spam-Level: *****\t\r65535");
  const std::string junk = "Junk\t\rSubject: [SPAM]\t\r7";
  struct Case {
    const char* name;
    const char* arguments;  // after --reconfigure, separated by '|'
    int status;
    std::string constructorString;
  };
  const std::vector<Case> cases = {
      {"a forward without an address is refused", "|--rule|A: 1|forward|Desk", 1, installed},
      {"a warning refuses with --strict", "|--strict|--rule|Subject: {*}[SPAM]{*}|move|Junk", 1,
       installed},
      {"the priority alone", "|--priority|9", 0,
       installed.substr(0, installed.rfind('\r') + 1) + "9"},
      {"new rules and priority", "|--rule|Subject: [SPAM]|move|Junk|--priority|7", 0, junk},
      {"nothing to change", "", 64, junk},
      {"with a password", "|--password-file|PASSWORD_FILE|--priority|1", 64, junk},
  };
  for (const Case& c : cases) {
    const Result result = Run(Split(QString("--reconfigure") + c.arguments));
    EXPECT_EQ(result.status, c.status) << c.name << ": " << result.err << Messages();
    EXPECT_EQ(Applications().at(0).constructorString, c.constructorString) << c.name;
  }
  // The identity, its password and the registrations stay; the next delivery's sink has the new
  // rules.
  const Application application = Applications().at(0);
  EXPECT_EQ(application.properties.at("Identity"), complus::PropertyValue("EXAMPLE\\svc-filter"));
  EXPECT_EQ(application.properties.at("Password"), complus::PropertyValue(kPassword));
  EXPECT_EQ(application.properties.at("ApplicationAccessChecksEnabled"),
            complus::PropertyValue(false));
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
  EXPECT_EQ(Applications().at(0).constructorString, "Spam\t\rX-Spam-Flag: YES\t\r7");
  EXPECT_FALSE(ui.chkChangeRules->isChecked());
  EXPECT_FALSE(ui.rows[0].txtSpamTag->isEnabled());
  EXPECT_EQ(Folder(Deliver(platform_, "ada", "Subject: y\r\nX-Spam-Flag: YES")), adaRoot + "/Spam");
}

// Found: uninstalling asked nothing and left every registration behind, naming a component that
// no longer exists.
TEST_F(SetupRun, UninstallingWithRegistrationsLeftBehindAsksOrWarns) {
  struct Case {
    const char* name;
    const char* arguments;  // separated by '|'; empty: the window, answering with removeThem
    bool removeThem;
    bool warnedOrAsked;
    bool itemsLeft;
  };
  const std::vector<Case> cases = {
      {"unattended", "--uninstall", false, true, true},
      {"unattended, unregistering all", "--unregister-all|--unregister-store-wide|--uninstall",
       false, false, false},
      {"the window, answered Yes", "", true, true, false},
      {"the window, answered No", "", false, true, true},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Install().status, 0) << c.name;
    ASSERT_EQ(Run({"--register", "ada", "--register-store-wide"}).status, 0) << c.name;
    platform_.messages.clear();
    Answer(c.removeThem);
    if (*c.arguments) {
      EXPECT_EQ(Run(Split(c.arguments)).status, 0) << c.name;
    } else {
      auto form = test::OpenForm();
      form->ui().Check6->setChecked(true);
      form->Command1_Click();
    }
    const QString said = asked.join("") + QString::fromStdString(Messages());
    EXPECT_EQ(said.contains("2 registrations"), c.warnedOrAsked)
        << c.name << ": " << said.toStdString();
    EXPECT_TRUE(Applications().empty()) << c.name;
    EXPECT_EQ(ItemExists(InboxItem("ada")), c.itemsLeft) << c.name;
    EXPECT_EQ(ItemExists(StoreWideItem(platform_)), c.itemsLeft) << c.name;
    Run(Split("--unregister-all|--unregister-store-wide"));
  }
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
  const testing::ProcessResult failed =
      test::RunSetupProgram({"--install", "--password-file", "-", "--rule", "A: 1", "move", "Spam"},
                            platform_.root().string(), std::string(kPassword) + "\r\n");
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
  ASSERT_FALSE(Applications().empty());
  EXPECT_TRUE(form->ui().txtPwd->text().isEmpty());
  EXPECT_EQ(prctl(PR_GET_DUMPABLE), 1);
}

// --- The program as a process ----------------------------------------------------------

// The exit status tells a script what happened, each case on a platform of its own; from the
// batch mode's renewal too, and start-up failures end with the platform's message.
TEST(SetupProgram, ExitStatusTellsWhatHappened) {
  struct Case {
    const char* name;
    const char* arguments;  // separated by '|'; stdin is "pw"
    // Words for the platform: installed, ada (registered), ghost (a mailbox in the directory
    // that the store cannot reach), faults (every store write fails), no-directory, no-platform.
    const char* given;
    int exitCode;
    const char* err;  // a part of stderr, or "" for no error entry at all
    bool adaRegisteredAfter;
  };
  const std::vector<Case> cases = {
      {"bad action", "--install|--rule|a: b|copy|x", "", 64, "unknown action", false},
      {"a mailbox beside one the store cannot reach", "--register|ada", "ghost", 0, "", true},
      // The mailbox that can be reached is registered all the same.
      {"the mailbox the store cannot reach", "--register|ghost|ada", "ghost", 2,
       "/mbx/ghost - ERROR: ", true},
      {"unregistering it", "--unregister|ghost", "ghost", 1, "'ghost' cannot be reached", false},
      {"unregistering all", "--unregister-all", "ada ghost", 2, "unreachable: Ghost Writer / ",
       false},
      // The old item goes, the new one cannot be written.
      {"batch mode, renewal fails", "-b", "installed ada faults", 2, "/mbx/ada - ERROR: ", false},
      // Not installed, so the run would install first, and batch mode has no password to give.
      {"batch mode, refused", "-b", "ada", 1, "Please fill the Identity and Password fields", true},
      {"batch mode, unreachable directory", "-b", "no-directory", 1, "directory", false},
      {"batch mode, no platform root", "-b", "no-platform", 1, "DROSSGATE_PLATFORM", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QString given = c.given;
    SetupPlatform platform;
    fs::copy_file(testing::BinaryDir() / "sink" / "Drossgate.so",
                  platform.workDir() / "Drossgate.so", fs::copy_options::overwrite_existing);
    if (given.contains("installed"))
      platform.InstallApplication("EXAMPLE\\svc", "Spam\t\rX-Spam-Flag: YES\t\r1");
    if (given.contains("ada")) platform.Register("ada");
    if (given.contains("ghost"))
      platform.AddPerson(
          {.cn = "Ghost Writer", .alias = "ghost", .mail = "ghost@example.com", .inStore = false});
    if (given.contains("no-directory")) fs::remove(platform.root() / "directory.ldif");
    std::vector<std::string> arguments;
    for (const QString& argument : test::Split(c.arguments))
      arguments.push_back(argument.toStdString());
    const testing::ProcessResult result = test::RunSetupProgram(
        arguments, given.contains("no-platform") ? "" : platform.root().string(), "pw\n",
        given.contains("faults")
            ? std::map<std::string, std::string>{{"DROSSGATE_FAULTS", "store.fields.update"}}
            : std::map<std::string, std::string>{});
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_EQ(result.err.find(*c.err ? c.err : "ERROR") != std::string::npos, *c.err != 0)
        << result.err;
    EXPECT_EQ(result.out, "");
    // One log entry per failure: a mailbox's last attempt only.
    if (std::string(c.err).find(" - ERROR: ") != std::string::npos) {
      EXPECT_EQ(QString::fromStdString(result.err).count(" - ERROR: "), 1) << result.err;
    }
    if (!given.contains("no-")) {
      EXPECT_EQ(ItemExists(InboxItem("ada")), c.adaRegisteredAfter);
    }
  }
}

TEST_F(SetupRun, RunsStartedTogetherInstallOneApplication) {
  // As when a script is started twice: the first run installs; the others wait for it, then
  // find the sink installed and say so.
  std::vector<std::string> install = InstallCommand();
  install.push_back("--register-all");
  constexpr int kRuns = 4;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<testing::Child> runs;
    for (int i = 0; i < kRuns; ++i) runs.push_back(testing::StartProcess(install));
    std::vector<int> statuses;
    for (const testing::Child& run : runs) {
      int status = 0;
      testing::StopProcess(run, 0, &status);
      statuses.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }
    std::sort(statuses.begin(), statuses.end());
    EXPECT_EQ(statuses, (std::vector<int>{0, 1, 1, 1}));
    EXPECT_EQ(ConstructorStrings(), std::vector<std::string>{"Spam\t\rX-Spam-Flag: YES\t\r65535"});
    EXPECT_TRUE(ItemExists(InboxItem("ada")));
    ASSERT_EQ(Setup({"--unregister-all", "--uninstall"}).exitCode, 0);
  }
}

// Damage to the installation as a killed run or a clumsy hand leaves it.
void DamageTheSinkComponent(bool removeIt) {
  namespace complus = platform::complus;
  auto applications = complus::OpenCatalog()->GetCollection("Applications");
  applications->Populate();
  auto components = applications->GetCollection("Components", applications->Item(0).Key());
  components->Populate();
  if (removeIt)
    components->Remove(0);
  else
    components->Item(0).SetValue("ConstructorString", std::monostate{});
  components->SaveChanges();
}

TEST_F(SetupRun, TellsTheTruthAboutTheInstallationAndInstallsOverDamage) {
  const std::string inbox = platform::store::admin::FindMailbox("ada")->inboxUrl;
  // "filtered", "unfiltered", or "(waits)" (without a readable catalog a delivery into a
  // registered inbox waits with its sender).
  auto delivery = [&] {
    const std::string now = Deliver(platform_, "ada", "Subject: x\r\nX-Spam-Flag: YES");
    return now == "(waits)" ? now : Folder(now) != inbox ? "filtered" : "unfiltered";
  };
  auto filtered = [&] { return delivery() == "filtered"; };
  const fs::path catalog = platform_.root() / "catalog.db";
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(InstallByProcess().exitCode, 0);
  const auto runTime = std::chrono::steady_clock::now() - started;
  // Registered while the sink can be created; the registration outlives the installations.
  ASSERT_EQ(Setup({"--register", "ada"}).exitCode, 0);
  ASSERT_EQ(Setup({"--uninstall"}).exitCode, 0);

  std::mt19937 random(std::random_device{}());
  auto killARun = [&] {
    const testing::Child run = testing::StartProcess(InstallCommand());
    std::this_thread::sleep_for(std::uniform_int_distribution<int64_t>(0, runTime.count())(random) *
                                std::chrono::steady_clock::duration(1));
    int status = 0;
    testing::StopProcess(run, SIGKILL, &status);
  };
  auto installedThen = [&](std::function<void()> damage) {
    return [this, damage] {
      ASSERT_EQ(InstallByProcess().exitCode, 0);
      damage();
    };
  };
  struct Case {
    std::string name;
    std::function<void()> damage;
    bool damaged;  // certainly; a killed run may have left anything
  };
  std::vector<Case> cases = {
      {"catalog deleted", installedThen([&] { fs::remove(catalog); }), true},
      {"catalog overwritten",
       installedThen([&] { testing::WriteFile(catalog, std::string(8192, 'x')); }), true},
      {"application without its component", installedThen([] { DamageTheSinkComponent(true); }),
       true},
      {"component without its constructor string",
       installedThen([] { DamageTheSinkComponent(false); }), true},
  };
  for (int i = 0; i < 8; ++i)
    cases.push_back({"run killed, " + std::to_string(i), killARun, false});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.damage();
    const testing::ProcessResult list = Setup({"--list", "--json"});
    const nlohmann::json installation = nlohmann::json::parse(list.out)["installation"];
    const std::string state = installation["state"];
    if (c.damaged) {
      EXPECT_EQ(state, "damaged");
    }
    if (state == "damaged") {
      const std::string reason = installation["reason"];
      EXPECT_EQ(list.exitCode, 3);
      EXPECT_NE(list.err.find(reason), std::string::npos) << list.err;
      const testing::ProcessResult batch = Setup({"-b"});
      EXPECT_EQ(batch.exitCode, 3);
      EXPECT_NE(batch.err.find(reason), std::string::npos) << batch.err;
      EXPECT_NE(delivery(), "filtered");
    } else {
      EXPECT_EQ(list.exitCode, 0) << list.err;
      EXPECT_EQ(filtered(), state == "installed") << state;
    }
    EXPECT_EQ(InstallByProcess().exitCode, state == "installed" ? 1 : 0);
    EXPECT_EQ(ConstructorStrings(), std::vector<std::string>{"Spam\t\rX-Spam-Flag: YES\t\r65535"});
    EXPECT_TRUE(filtered());
    ASSERT_EQ(Setup({"--uninstall"}).exitCode, 0);
  }
}

TEST_F(SetupRun, ListsAsOneJsonObjectWithEachMailboxsState) {
  platform_.Register("ada");
  platform_.AddPerson(
      {.cn = "Ghost Writer", .alias = "ghost", .mail = "ghost@example.com", .inStore = false});
  const testing::ProcessResult result = Setup({"--list", "--json"});
  EXPECT_EQ(result.exitCode, 2) << result.err;
  const nlohmann::ordered_json lists = nlohmann::ordered_json::parse(result.out);
  std::vector<std::string> keys;
  for (const auto& [key, value] : lists.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"installation", "SysMbxInstList", "MbxInstList",
                                            "MbxUninstList", "SysMbxUninstList"}));
  EXPECT_EQ(lists["installation"], nlohmann::ordered_json({{"state", "not installed"}}));
  EXPECT_EQ(lists["MbxUninstList"],
            nlohmann::ordered_json::parse(
                R"([{"entry": "Ada Lindqvist / MAIL1 / ada.lindqvist@example.com / ada",
                     "alias": "ada", "address": "ada.lindqvist@example.com",
                     "state": "registered"}])"));
  EXPECT_EQ(lists["SysMbxInstList"].size(), 1u);
  std::map<std::string, nlohmann::ordered_json> byAlias;
  for (const nlohmann::ordered_json& mailbox : lists["MbxInstList"])
    byAlias[mailbox["alias"]] = mailbox;
  EXPECT_EQ(byAlias["bruno"]["state"], "not registered");
  // Found: an unreachable mailbox was listed as not registered, and --list exited 0.
  EXPECT_EQ(byAlias["ghost"]["state"], "unreachable");
  const std::string reason = byAlias["ghost"]["reason"];
  EXPECT_NE(reason.find("/mbx/ghost - ERROR: "), std::string::npos) << reason;
  EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
}

// Found: run by cron (no display, no runtime folder, no toolkit settings), batch mode wrote the
// toolkit's own warnings to stderr, which cron mails to the administrator every night.
TEST(SetupProgram, BatchModeClosesByItselfAndSaysNothingNotItsOwn) {
  for (const bool registered : {false, true}) {
    SetupPlatform platform;
    platform.AddPerson({.cn = "Anna Lee", .alias = "annal", .mail = "annal@" + platform.domain()});
    if (registered) platform.Register("annal");
    // Installed, so that the renewal has no installation to refuse.
    platform.InstallApplication("EXAMPLE\\annal", "Spam\t\rX-Spam-Flag: YES\t\r1");
    const testing::ProcessResult result =
        test::RunSetupProgram({"-b"}, platform.root().string(), "",
                              {{"QT_QPA_PLATFORM", ""},
                               {"DISPLAY", ""},
                               {"WAYLAND_DISPLAY", ""},
                               {"XDG_RUNTIME_DIR", ""}});
    EXPECT_EQ(result.exitCode, 0) << registered << ": " << result.err;
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.err, "") << registered;
  }
}

// Found: --help was an unknown option. It documents every option and exit status, needs neither
// a platform nor a display, and the README shows it as it is.
TEST(SetupProgram, HelpIsTheReadmesUsageText) {
  const testing::ProcessResult help =
      test::RunSetupProgram({"--help"}, "", "", {{"QT_QPA_PLATFORM", ""}, {"DISPLAY", ""}});
  EXPECT_EQ(help.exitCode, 0) << help.err;
  EXPECT_EQ(help.err, "");
  const std::string readme = testing::ReadFile(testing::SourceDir() / "README.md");
  const std::string marker = "<!-- DrossgateSetup --help -->\n```text\n";
  const size_t start = readme.find(marker);
  ASSERT_NE(start, std::string::npos) << "the README has no usage block";
  const size_t text = start + marker.size();
  EXPECT_EQ(readme.substr(text, readme.find("```", text) - text), help.out);
}

using RegistrationItems = SetupRun;

// A failing field update without a log is the batch renewal's exit-status row.
TEST_F(RegistrationItems, AFailureLeavesNoItemAndLogsWhenAsked) {
  test::TextLog log;
  setenv("DROSSGATE_FAULTS", "store.commit", 1);
  platform::ReloadFaults();
  const std::string url =
      CreateRegistrationItem(store::admin::FindMailbox("ada")->url, "inbox", kRegistrationItemName,
                             kEventMethod, kSinkClass, "SHALLOW", kCriteria, "1", &log);
  unsetenv("DROSSGATE_FAULTS");
  platform::ReloadFaults();
  EXPECT_EQ(url, "");
  EXPECT_FALSE(ItemExists(InboxItem("ada")));
  EXPECT_TRUE(log.log.contains("injected fault")) << log.log.toStdString();
}

}  // namespace
}  // namespace drossgate::setup
