#pragma once
// A platform for the setup tool's tests: the demo platform made by drossgate-platform, selected
// for this process, with a working folder as the current directory (holding a stand-in sink
// library unless a test removes it), plus helpers that add mailboxes, registrations and an
// installed application. It brings the headers every setup test file uses.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "InstallForm.h"
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

// An error log kept as text.
struct TextLog : ErrorLog {
  QString ErrorLogText() const override { return log; }
  void SetErrorLogText(const QString& text) override { log = text; }
  QString log;
};

class SetupPlatform {
 public:
  SetupPlatform();
  ~SetupPlatform();
  SetupPlatform(const SetupPlatform&) = delete;
  SetupPlatform& operator=(const SetupPlatform&) = delete;

  const std::filesystem::path& root() const { return root_.path(); }
  const std::filesystem::path& workDir() const { return work_.path(); }
  void RemoveSinkLibrary() { std::filesystem::remove(workDir() / "Drossgate.so"); }

  // People with a mailbox homed on this server (and a store mailbox when inStore): one
  // directory write and one store transaction.
  void AddPeople(const std::vector<Person>& people);
  void AddPerson(const Person& person) { AddPeople({person}); }
  // The registration item the setup program writes, in the mailbox's inbox or in a system
  // mailbox's store-wide folder.
  void Register(const std::string& alias, bool storeWide = false);
  // The sink's application with one component of that name.
  void InstallApplication(const std::string& identity, const std::string& constructorString,
                          const std::string& componentName = "Drossgate.DrossgateCls",
                          bool constructionEnabled = true);

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
  std::string domain_;
  int added_ = 0;
};

// A main window loaded and activated on the current platform.
std::unique_ptr<InstallForm> OpenForm(bool batch = false);
// Runs the built DrossgateSetup on the platform at platformRoot ("" for none), offscreen unless
// env says otherwise.
testing::ProcessResult RunSetupProgram(const std::vector<std::string>& arguments,
                                       const std::string& platformRoot, const std::string& in = "",
                                       const std::map<std::string, std::string>& env = {});
std::string SetupProgram();
// Arguments written as one text, separated by '|'.
QStringList Split(const QString& joined);
// No two of the controls overlap.
void ExpectNoOverlaps(const std::vector<QWidget*>& controls);

}  // namespace drossgate::setup::test
