#include "setup_fixture.h"

#include <cstdlib>
#include <stdexcept>

#include "Items.h"
#include "Mailboxes.h"
#include "complus/catalog.h"
#include "directory/directory.h"
#include "store/store.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::setup::test {

namespace fs = std::filesystem;
namespace dir = platform::directory;
namespace store = platform::store;

namespace {

std::string First(const dir::Entry& entry, const char* name) {
  const dir::Attribute* attribute = entry.Find(name);
  return attribute && !attribute->values.empty() ? attribute->values.front() : std::string();
}

}  // namespace

SetupPlatform::SetupPlatform() {
  const testing::ProcessResult init = testing::RunPlatformTool(root(), {"init", "--demo"});
  if (init.exitCode != 0)
    throw std::runtime_error("drossgate-platform init --demo failed: " + init.err);
  setenv("DROSSGATE_PLATFORM", root().c_str(), 1);
  domain_ = text::ToLower(platform::Machine().domainName);
  for (const dir::Entry& entry : dir::admin::AllEntries())
    if (text::StartsWithNoCase(First(entry, "mailNickName"), "SystemMailbox{")) {
      homeServer_ = First(entry, "msExchHomeServerName");
      break;
    }
  if (homeServer_.empty()) throw std::runtime_error("the demo platform has no system mailbox");

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

void SetupPlatform::AddPeople(const std::vector<Person>& people) {
  const std::string domainDn = "DC=" + text::ReplaceAll(domain_, ".", ",DC=");
  std::vector<dir::Entry> entries;
  store::admin::Batch batch;
  for (const Person& person : people) {
    ++added_;
    dir::Entry& entry = entries.emplace_back();
    entry.dn = "CN=" + person.cn + ",CN=Users," + domainDn;
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
    entry.Add("objectCategory", "CN=Person,CN=Schema,CN=Configuration," + domainDn);
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

void SetupPlatform::Register(const std::string& alias, bool storeWide) {
  const auto mailbox = store::admin::FindMailbox(alias);
  const RegistrationKind& kind = storeWide ? kStoreWide : kPerMailbox;
  if (!mailbox ||
      CreateRegistrationItem(mailbox->url, kind.folderName, kRegistrationItemName, kEventMethod,
                             kSinkClass, kind.matchScope, kCriteria, "65535", nullptr)
          .empty())
    throw std::runtime_error("cannot register " + alias);
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
  namespace complus = platform::complus;
  auto applications = complus::OpenCatalog()->GetCollection("Applications");
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

void ExpectNoOverlaps(const std::vector<QWidget*>& controls) {
  for (size_t i = 0; i < controls.size(); ++i)
    for (size_t j = i + 1; j < controls.size(); ++j)
      EXPECT_FALSE(controls[i]->geometry().intersects(controls[j]->geometry()))
          << controls[i]->objectName().toStdString() << " overlaps "
          << controls[j]->objectName().toStdString();
}

}  // namespace drossgate::setup::test
