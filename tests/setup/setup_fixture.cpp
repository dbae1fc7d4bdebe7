#include "setup_fixture.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <stdexcept>

#include "Mailboxes.h"
#include "complus/catalog.h"
#include "directory/directory.h"
#include "error.h"
#include "store/store.h"
#include "system/registry.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::setup::test {

namespace fs = std::filesystem;
namespace dir = platform::directory;
namespace store = platform::store;
namespace complus = platform::complus;

namespace {

std::string First(const dir::Entry& entry, const char* name) {
  const dir::Attribute* attribute = entry.Find(name);
  return attribute && !attribute->values.empty() ? attribute->values.front() : std::string();
}

std::string ParentOf(const std::string& dn) {
  // The first comma not escaped by a backslash ends the first component.
  for (size_t i = 0; i < dn.size(); ++i) {
    if (dn[i] == '\\') {
      ++i;
    } else if (dn[i] == ',') {
      return dn.substr(i + 1);
    }
  }
  return {};
}

void WriteRegistration(const std::string& url) {
  auto record = store::OpenRecord(url, nullptr, store::Mode::kReadWrite, store::kCreateOverwrite);
  for (const auto& [name, value] : RegistrationProperties()) record->GetFields().Set(name, value);
  record->GetFields().Update();
  record->Close();
}

}  // namespace

const std::vector<std::pair<std::string, store::Value>>& RegistrationProperties() {
  static const std::string events = "http://schemas.microsoft.com/exchange/events/";
  static const std::vector<std::pair<std::string, store::Value>> properties = {
      {"DAV:contentclass", std::string("urn:content-class:storeeventreg")},
      {events + "EventMethod", std::string("onsyncsave")},
      {events + "SinkClass", std::string("Drossgate.DrossgateCls")},
      {events + "MatchScope", std::string("SHALLOW")},
      {events + "criteria", std::string(" WHERE \"DAV:ishidden\" = FALSE")},
      {events + "priority", std::string("65535")},
      {"DAV:ishidden", true}};
  return properties;
}

SetupPlatform::SetupPlatform() {
  const testing::ProcessResult init = testing::RunPlatformTool(root(), {"init", "--demo"});
  if (init.exitCode != 0)
    throw std::runtime_error("drossgate-platform init --demo failed: " + init.err);
  setenv("DROSSGATE_PLATFORM", root().c_str(), 1);

  const std::string user = platform::Machine().userName;
  domain_ = text::ToLower(platform::Machine().domainName);
  std::string systemParent;
  for (const dir::Entry& entry : dir::admin::AllEntries()) {
    if (text::StartsWithNoCase(First(entry, "mailNickName"), "SystemMailbox{") &&
        homeServer_.empty()) {
      homeServer_ = First(entry, "msExchHomeServerName");
      systemParent = ParentOf(entry.dn);
    }
    if (text::EqualsNoCase(First(entry, "sAMAccountName"), user)) {
      peopleParent_ = ParentOf(entry.dn);
      category_ = First(entry, "objectCategory");
    }
  }
  if (homeServer_.empty()) throw std::runtime_error("the demo platform has no system mailbox");
  if (peopleParent_.empty()) peopleParent_ = systemParent;
  if (category_.empty())
    category_ = "CN=Person,CN=Schema,CN=Configuration," + ParentOf(peopleParent_);

  oldCwd_ = fs::current_path();
  fs::current_path(workDir());
  testing::WriteFile(workDir() / "Drossgate.so", "");
  SetMessageHook([this](QMessageBox::Icon icon, const QString& title, const QString& text) {
    messages.push_back({icon, title, text});
  });
}

SetupPlatform::~SetupPlatform() {
  SetMessageHook({});
  SetMessagesToStderr(false);
  std::error_code error;
  fs::current_path(oldCwd_, error);
  unsetenv("DROSSGATE_PLATFORM");
}

void SetupPlatform::RemoveSinkLibrary() {
  fs::remove(workDir() / "Drossgate.so");
}

void SetupPlatform::AddPerson(const Person& person) {
  AddPeople({person});
}

void SetupPlatform::AddPeople(const std::vector<Person>& people) {
  std::vector<dir::Entry> entries;
  store::admin::Batch batch;
  for (const Person& person : people) {
    ++added_;
    dir::Entry& entry = entries.emplace_back();
    entry.dn = "CN=" + person.cn + "," + peopleParent_;
    for (const char* objectClass : {"top", "person", "organizationalPerson", "user"})
      entry.Add("objectClass", objectClass);
    entry.Add("cn", person.cn);
    entry.Add("name", person.cn);
    entry.Add("sAMAccountName", !person.account.empty() ? person.account
                                : person.alias.empty()  ? "user" + std::to_string(added_)
                                                        : person.alias);
    if (!person.alias.empty()) entry.Add("mailNickName", person.alias);
    if (!person.mail.empty()) entry.Add("mail", person.mail);
    entry.Add("userAccountControl", person.disabled ? "514" : "512");
    entry.Add("objectCategory", category_);
    entry.Add("msExchHomeServerName", person.homeServer.empty() ? homeServer_ : person.homeServer);
    char guid[33];
    std::snprintf(guid, sizeof guid, "%032X", added_ + 0x5E7u);
    entry.Add("msExchMailboxGUID", guid);
    if (!person.inStore) continue;
    std::vector<std::string> addresses;
    if (!person.mail.empty()) addresses.push_back(person.mail);
    const std::string alias =
        person.alias.empty() ? SplitMail(person.mail).mailAlias : person.alias;
    store::admin::AddMailbox(alias, addresses, person.inboxName);
  }
  batch.Commit();
  dir::admin::AddEntries(entries);
}

void SetupPlatform::Register(const std::string& alias) {
  const auto mailbox = store::admin::FindMailbox(alias);
  if (!mailbox) throw std::runtime_error("no mailbox " + alias);
  WriteRegistration(mailbox->inboxUrl + "/" + kRegistrationItemName);
}

void SetupPlatform::RegisterStoreWide(const std::string& systemAlias) {
  const auto mailbox = store::admin::FindMailbox(systemAlias);
  if (!mailbox) throw std::runtime_error("no mailbox " + systemAlias);
  WriteRegistration(mailbox->url + "/" + kStoreWideFolder + "/" + kRegistrationItemName);
}

void SetupPlatform::SetMachine(const std::string& computer, const std::string& user) {
  platform::MachineInfo machine = platform::Machine();
  machine.computerName = computer;
  machine.userName = user;
  platform::WriteMachineInfo(root(), machine);
}

void SetupPlatform::MakeClusterNode() {
  platform::registry::Key key;
  if (platform::registry::CreateKey(platform::registry::Hive::kLocalMachine, "Cluster", key) !=
      platform::registry::kSuccess)
    throw std::runtime_error("cannot create the Cluster key");
  platform::registry::CloseKey(key);
}

std::vector<std::string> SetupPlatform::SystemMailboxAliases() const {
  std::vector<std::string> aliases;
  for (const dir::Entry& entry : dir::admin::AllEntries()) {
    const std::string alias = First(entry, "mailNickName");
    if (text::StartsWithNoCase(alias, "SystemMailbox{") &&
        First(entry, "msExchHomeServerName") == homeServer_)
      aliases.push_back(alias);
  }
  return aliases;
}

void SetupPlatform::InstallApplication(const std::string& identity,
                                       const std::string& constructorString,
                                       const std::string& componentName, bool constructionEnabled) {
  auto catalog = complus::OpenCatalog();
  auto applications = catalog->GetCollection("Applications");
  applications->Populate();
  complus::CatalogObject& application = applications->Add();
  application.SetValue("Name", std::string("Drossgate"));
  application.SetValue("Identity", identity);
  applications->SaveChanges();
  auto components = applications->GetCollection("Components", application.Key());
  components->Populate();
  complus::CatalogObject& component = components->Add();
  component.SetValue("CLSID", std::string("{0D5A57E1-7E57-4C1A-9D05-5E7000000001}"));
  component.SetValue("Name", componentName);
  component.SetValue("DLL", (workDir() / "Drossgate.so").string());
  component.SetValue("ConstructionEnabled", constructionEnabled);
  component.SetValue("ConstructorString", constructorString);
  components->SaveChanges();
}

std::unique_ptr<InstallForm> OpenForm(bool batch) {
  auto form = std::make_unique<InstallForm>(SetupOptions{batch});
  form->Form_Load();
  form->Form_Activate();
  return form;
}

std::string SetupProgram() {
  return (testing::BinaryDir() / "setup" / "DrossgateSetup").string();
}

testing::ProcessResult RunSetupProgram(const std::vector<std::string>& arguments,
                                       const std::string& platformRoot, const std::string& in,
                                       const std::map<std::string, std::string>& env) {
  std::vector<std::string> argv = {SetupProgram()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::map<std::string, std::string> all = {{"QT_QPA_PLATFORM", "offscreen"},
                                            {"DROSSGATE_PLATFORM", platformRoot}};
  for (const auto& [name, value] : env) all[name] = value;
  return testing::RunProcess(argv, all, in);
}

QStringList Split(const QString& joined) {
  return joined.split('|');
}

std::vector<std::string> InstalledConstructorStrings() {
  std::vector<std::string> found;
  auto applications = complus::OpenCatalog()->GetCollection("Applications");
  applications->Populate();
  for (int32_t i = 0; i < applications->Count(); ++i) {
    complus::CatalogObject& application = applications->Item(i);
    if (!text::EqualsNoCase(application.Name(), kProjectName)) continue;
    std::string constructorString = "(none)";
    auto components = applications->GetCollection("Components", application.Key());
    components->Populate();
    for (int32_t j = 0; j < components->Count(); ++j) {
      complus::CatalogObject& component = components->Item(j);
      const complus::PropertyValue value = component.Value("ConstructorString");
      const auto* text = std::get_if<std::string>(&value);
      if (component.Name() == "Drossgate.DrossgateCls" && text &&
          std::get<bool>(component.Value("ConstructionEnabled")))
        constructorString = *text;
    }
    found.push_back(constructorString);
  }
  return found;
}

std::string Deliver(const SetupPlatform& platform, const std::string& alias,
                    const std::string& headers, std::optional<int> scl) {
  const std::string source = "From: sender@outside.example\r\nTo: " + alias + "@example.com\r\n" +
                             headers + "\r\n\r\nBody\r\n";
  std::vector<std::string> arguments = {"deliver", "--to", alias, "-"};
  if (scl) arguments.insert(arguments.begin() + 3, {"--scl", std::to_string(*scl)});
  const testing::ProcessResult result =
      testing::RunPlatformTool(platform.root(), arguments, {}, source);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const nlohmann::json line = nlohmann::json::parse(result.out);
  return line["now"].is_null() ? std::string() : line["now"].get<std::string>();
}

std::string InboxItem(const std::string& alias) {
  return store::admin::FindMailbox(alias)->inboxUrl + "/" + kRegistrationItemName;
}

bool ItemExists(const std::string& url) {
  return platform::SkipOnError([&] { store::admin::Properties(url); });
}

void ExpectNoOverlaps(const std::vector<QWidget*>& controls) {
  for (size_t i = 0; i < controls.size(); ++i)
    for (size_t j = i + 1; j < controls.size(); ++j)
      EXPECT_FALSE(controls[i]->geometry().intersects(controls[j]->geometry()))
          << controls[i]->objectName().toStdString() << " overlaps "
          << controls[j]->objectName().toStdString();
}

}  // namespace drossgate::setup::test
