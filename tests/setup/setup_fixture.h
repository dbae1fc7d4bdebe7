#pragma once
// A platform for the setup tool's tests: the demo platform made by drossgate-platform, selected
// for this process, with a working folder as the current directory (holding a stand-in sink
// library unless a test removes it), plus helpers that add mailboxes, registrations and an
// installed application.

#include <QMessageBox>
#include <QString>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "testsupport.h"

namespace drossgate::setup::test {

// A person to add: common name, alias (mailNickName) and mail, either may be empty; the
// rest through the setters.
struct Person {
  Person(std::string cn, std::string alias, std::string mail = "")
      : cn(std::move(cn)), alias(std::move(alias)), mail(std::move(mail)) {}
  Person& Disabled() {
    disabled = true;
    return *this;
  }
  Person& NotInStore() {
    inStore = false;
    return *this;
  }
  Person& Inbox(std::string name) {
    inboxName = std::move(name);
    return *this;
  }
  Person& HomeServer(std::string value) {
    homeServer = std::move(value);
    return *this;
  }
  Person& Account(std::string name) {
    account = std::move(name);
    return *this;
  }

  std::string cn;
  std::string alias;
  std::string mail;
  bool disabled = false;
  bool inStore = true;  // the store has a mailbox for it
  std::string inboxName = "Inbox";
  std::string homeServer;  // empty: the demo's server
  std::string account;     // sAMAccountName; empty: the alias
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

}  // namespace drossgate::setup::test
