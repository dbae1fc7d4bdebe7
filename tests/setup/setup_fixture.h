#pragma once
// A platform for the setup tool's tests: the demo platform made by drossgate-platform, selected
// for this process, with a working folder as the current directory (holding a stand-in sink
// library unless a test removes it), plus helpers that add mailboxes, registrations and an
// installed application.

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "InstallForm.h"
#include "store/store.h"
#include "testsupport.h"

namespace drossgate::setup::test {

// A person to add: common name, alias (mailNickName) and mail, either may be empty.
struct Person {
  std::string cn{};
  std::string alias{};
  std::string mail{};
  bool disabled = false;
  bool inStore = true;  // the store has a mailbox for it
  std::string inboxName = "Inbox";
  std::string homeServer{};  // empty: the demo's server
  std::string account{};     // sAMAccountName; empty: the alias
};

struct ShownMessage {
  QMessageBox::Icon icon;
  QString title;
  QString text;
};

class SetupPlatform {
 public:
  SetupPlatform();
  ~SetupPlatform();
  SetupPlatform(const SetupPlatform&) = delete;
  SetupPlatform& operator=(const SetupPlatform&) = delete;

  const std::filesystem::path& root() const { return root_.path(); }
  const std::filesystem::path& workDir() const { return work_.path(); }
  void RemoveSinkLibrary();

  // A person with a mailbox homed on this server; its store mailbox too when inStore.
  void AddPerson(const Person& person);
  // Many at once: one directory write and one store transaction.
  void AddPeople(const std::vector<Person>& people);
  // The registration item in the mailbox's inbox, or in a system mailbox's store-wide folder.
  void Register(const std::string& alias);
  void RegisterStoreWide(const std::string& systemAlias);
  // The sink's application with one component of that name.
  void InstallApplication(const std::string& identity, const std::string& constructorString,
                          const std::string& componentName = "Drossgate.DrossgateCls",
                          bool constructionEnabled = true);

  // Rewrites machine.json with another computer name and user.
  void SetMachine(const std::string& computer, const std::string& user);
  // HKEY_LOCAL_MACHINE\Cluster, which makes this machine a cluster node.
  void MakeClusterNode();

  // Directory facts of the demo platform.
  std::string homeServer() const { return homeServer_; }
  std::vector<std::string> SystemMailboxAliases() const;
  std::string domain() const { return domain_; }

  // Message boxes shown while the object lives, recorded instead of shown.
  std::vector<ShownMessage> messages;

 private:
  testing::TempDir root_;
  testing::TempDir work_;
  std::filesystem::path oldCwd_;
  std::string homeServer_;
  std::string peopleParent_;
  std::string category_;
  std::string domain_;
  int added_ = 0;
};

// The properties of a per-mailbox registration item as the setup program writes it, in order;
// Register writes them too.
const std::vector<std::pair<std::string, platform::store::Value>>& RegistrationProperties();
// A main window loaded and activated on the current platform.
std::unique_ptr<InstallForm> OpenForm(bool batch = false);
// Runs the built DrossgateSetup on the platform at platformRoot ("" for none), offscreen unless
// env says otherwise.
testing::ProcessResult RunSetupProgram(const std::vector<std::string>& arguments,
                                       const std::string& platformRoot, const std::string& in = "",
                                       const std::map<std::string, std::string>& env = {});
// The built DrossgateSetup program.
std::string SetupProgram();
// Arguments written as one text, separated by '|'.
QStringList Split(const QString& joined);
// For each application named Drossgate (any case): its sink component's constructor string
// when construction is enabled, else "(none)".
std::vector<std::string> InstalledConstructorStrings();
// Delivers a message through the platform tool; where it is afterwards, "" when gone.
std::string Deliver(const SetupPlatform& platform, const std::string& alias,
                    const std::string& headers, std::optional<int> scl = std::nullopt);
// The registration item in a mailbox's inbox, and whether an item is there.
std::string InboxItem(const std::string& alias);
bool ItemExists(const std::string& url);
// No two of the controls overlap.
void ExpectNoOverlaps(const std::vector<QWidget*>& controls);

}  // namespace drossgate::setup::test
