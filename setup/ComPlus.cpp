#include "ComPlus.h"

#include <QDateTime>

#include <algorithm>
#include <variant>

#include "Secret.h"
#include "Session.h"
#include "complus/catalog.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::setup {

namespace complus = platform::complus;

namespace {

std::string PropertyText(const complus::PropertyValue& value) {
  if (const auto* s = std::get_if<std::string>(&value)) return *s;
  if (const auto* b = std::get_if<bool>(&value)) return *b ? "True" : "False";
  if (const auto* i = std::get_if<int32_t>(&value)) return std::to_string(*i);
  return {};
}

bool IsTrue(const complus::PropertyValue& value) {
  if (const auto* b = std::get_if<bool>(&value)) return *b;
  if (const auto* i = std::get_if<int32_t>(&value)) return *i != 0;
  return false;
}

// The populated "Components" collection of an application.
std::unique_ptr<complus::CatalogCollection> ComponentsOf(complus::CatalogCollection& applications,
                                                         complus::CatalogObject& application) {
  auto components = applications.GetCollection(
      "Components", text::ToUpper(PropertyText(application.Value("ID"))));
  components->Populate();
  return components;
}

// The sink's component: the first whose name begins with the application's name and a dot.
complus::CatalogObject* SinkComponent(complus::CatalogCollection& components,
                                      const std::string& appName) {
  const std::string prefix = appName + ".";
  for (int32_t i = 0; i < components.Count(); ++i)
    if (components.Item(i).Name().rfind(prefix, 0) == 0) return &components.Item(i);
  return nullptr;
}

// The log as the installation writes it: should a failure's description ever quote the
// password, the new entry shows a mask instead.
class MaskingLog final : public ErrorLog {
 public:
  MaskingLog(ErrorLog& log, const std::string& secret)
      : log_(log), secret_(QString::fromStdString(secret)) {}
  ~MaskingLog() override { Wipe(secret_); }
  MaskingLog(const MaskingLog&) = delete;
  MaskingLog& operator=(const MaskingLog&) = delete;
  QString ErrorLogText() const override { return log_.ErrorLogText(); }
  void SetErrorLogText(const QString& text) override {
    const QString old = log_.ErrorLogText();
    if (secret_.isEmpty() || !text.endsWith(old)) {
      log_.SetErrorLogText(text);
      return;
    }
    QString entry = text.left(text.size() - old.size());
    entry.replace(secret_, QStringLiteral("********"));
    log_.SetErrorLogText(entry + old);
  }

 private:
  ErrorLog& log_;
  QString secret_;
};

}  // namespace

std::filesystem::path SinkLibraryPath() {
  std::error_code error;
  const std::filesystem::path cwd = std::filesystem::current_path(error);
  return std::filesystem::path(cwd.string() + "/" + kProjectName + ".so");
}

InstalledConfiguration ReadComPlusConfiguration(ErrorLog& log, const std::string& appName) {
  InstalledConfiguration found;
  RunLogged(&log, appName, [&] {
    auto catalog = complus::OpenCatalog();
    auto applications = catalog->GetCollection("Applications");
    applications->Populate();
    complus::CatalogObject* application = nullptr;
    for (int32_t i = 0; i < applications->Count() && !application; ++i) {
      complus::CatalogObject& candidate = applications->Item(i);
      if (text::EqualsNoCase(candidate.Name(), appName)) application = &candidate;
    }
    if (application) {
      found.found = true;
      found.identity = PropertyText(application->Value("Identity"));
      catalog->RefreshComponents();
      auto components = ComponentsOf(*applications, *application);
      if (complus::CatalogObject* component = SinkComponent(*components, appName)) {
        const complus::PropertyValue text = component->Value("ConstructorString");
        if (IsTrue(component->Value("ConstructionEnabled")) &&
            !std::holds_alternative<std::monostate>(text))
          found.constructorString = PropertyText(text);
      }
    }
    found.read = true;
  });
  return found;
}

void InstallComPlusApplication(ErrorLog& log, const std::string& appName,
                               const std::string& identity, const std::string& password,
                               const std::string& constructorString) {
  const std::string account = text::Trim(identity);
  std::string secret = text::Trim(password);
  MaskingLog maskingLog(log, secret);
  RunLogged(&maskingLog, appName, [&] {
    auto catalog = complus::OpenCatalog();
    auto applications = catalog->GetCollection("Applications");
    applications->Populate();
    // The window offers the installation only while no application of that name exists.
    complus::CatalogObject& application = applications->Add();
    application.SetValue("Name", appName);
    application.SetValue("ApplicationAccessChecksEnabled", false);
    if (!account.empty() && !secret.empty()) {
      application.SetValue("Identity", account);
      complus::PropertyValue value = secret;
      application.SetValue("Password", value);
      Wipe(std::get<std::string>(value));
    }
    applications->SaveChanges();
    catalog->InstallComponent(appName, SinkLibraryPath().string(), "", "");
    catalog->RefreshComponents();
    if (constructorString.empty()) return;
    auto components = ComponentsOf(*applications, application);
    if (complus::CatalogObject* component = SinkComponent(*components, appName)) {
      component->SetValue("ConstructionEnabled", true);
      component->SetValue("ConstructorString", constructorString);
      components->SaveChanges();
    }
  });
  Wipe(secret);
}

namespace {

// Moves catalog.db and its side files to an unused name beside them and makes a new, empty
// catalog. A stale write-ahead log must never meet the new file, so it moves with the old one.
void SetCatalogAside() {
  namespace fs = std::filesystem;
  const fs::path root = platform::PlatformRoot();
  const std::string stamp =
      QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddTHHmmsszzz")).toStdString();
  std::string aside = "catalog.db.damaged-" + stamp;
  std::error_code error;
  for (int n = 2; fs::exists(root / aside, error) || fs::exists(root / (aside + "-wal"), error);
       ++n)
    aside = "catalog.db.damaged-" + stamp + "-" + std::to_string(n);
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const fs::path from = root / ("catalog.db" + std::string(suffix));
    if (!fs::exists(fs::symlink_status(from, error))) continue;
    fs::rename(from, root / (aside + suffix), error);
    if (error)
      platform::Fail(
          platform::errors::kFileWrite,
          "Cannot set the damaged catalog " + from.string() + " aside: " + error.message());
  }
  complus::CreateCatalogFile(root.string());
}

}  // namespace

Installation CheckInstallation(const std::string& appName) {
  Installation found;
  auto damaged = [&](std::string reason) {
    found.state = Installation::kDamaged;
    found.reason = std::move(reason);
    return found;
  };
  try {
    auto applications = complus::OpenCatalog()->GetCollection("Applications");
    applications->Populate();
    std::vector<complus::CatalogObject*> named;
    for (int32_t i = 0; i < applications->Count(); ++i)
      if (text::EqualsNoCase(applications->Item(i).Name(), appName))
        named.push_back(&applications->Item(i));
    if (named.empty()) return found;
    if (named.size() > 1)
      return damaged("the catalog has " + std::to_string(named.size()) + " applications named " +
                     appName);
    auto components = ComponentsOf(*applications, *named.front());
    const complus::CatalogObject* component = SinkComponent(*components, appName);
    if (!component) return damaged("the application " + appName + " has no component");
    if (!IsTrue(component->Value("ConstructionEnabled")))
      return damaged("construction is not enabled for the component " + component->Name() +
                     ", so the sink gets no rules");
    if (PropertyText(component->Value("ConstructorString")).empty())
      return damaged("the component " + component->Name() +
                     " has no constructor string, so the sink has no rules");
    const std::string library = PropertyText(component->Value("DLL"));
    std::error_code error;
    if (!std::filesystem::is_regular_file(library, error))
      return damaged("the sink library " + library + " of the component " + component->Name() +
                     " is missing");
  } catch (const platform::PlatformError& error) {
    // Only a missing or broken file is set aside; a busy one is left alone.
    found.catalogUnreadable = error.number() == platform::errors::kNotFound ||
                              error.number() == platform::errors::kCorrupt;
    return damaged("the catalog cannot be read: " + error.description());
  }
  found.state = Installation::kInstalled;
  return found;
}

const char* StateName(Installation::State state) {
  switch (state) {
    case Installation::kInstalled:
      return "installed";
    case Installation::kDamaged:
      return "damaged";
    default:
      return "not installed";
  }
}

std::string DamageText(const Installation& installation) {
  return "The installation is damaged: " + installation.reason +
         ". Installing anew removes the damage first.";
}

bool RemoveDamagedInstallation(ErrorLog& log, const std::string& appName) {
  const Installation found = CheckInstallation(appName);
  if (found.state != Installation::kDamaged) return false;
  RunLogged(&log, appName, [&] {
    if (found.catalogUnreadable) {
      SetCatalogAside();
      return;
    }
    auto applications = complus::OpenCatalog()->GetCollection("Applications");
    applications->Populate();
    for (int32_t i = applications->Count() - 1; i >= 0; --i)
      if (text::EqualsNoCase(applications->Item(i).Name(), appName)) applications->Remove(i);
    applications->SaveChanges();
  });
  return true;
}

void ReconfigureComPlusApplication(ErrorLog& log, const std::string& appName,
                                   const std::string& constructorString) {
  RunLogged(&log, appName, [&] {
    auto catalog = complus::OpenCatalog();
    auto applications = catalog->GetCollection("Applications");
    applications->Populate();
    for (int32_t i = 0; i < applications->Count(); ++i) {
      complus::CatalogObject& application = applications->Item(i);
      if (!text::EqualsNoCase(application.Name(), appName)) continue;
      auto components = ComponentsOf(*applications, application);
      complus::CatalogObject* component = SinkComponent(*components, appName);
      if (!component)
        platform::Fail(platform::errors::kNotFound,
                       "The application " + appName + " has no component to reconfigure");
      component->SetValue("ConstructionEnabled", true);
      component->SetValue("ConstructorString", constructorString);
      components->SaveChanges();
      return;
    }
    platform::Fail(platform::errors::kNotFound, "The application " + appName + " is not installed");
  });
}

void UninstallComPlusApplication(ErrorLog& log, const std::string& appName) {
  RunLogged(&log, appName, [&] {
    auto catalog = complus::OpenCatalog();
    auto applications = catalog->GetCollection("Applications");
    applications->Populate();
    const int32_t count = applications->Count();
    for (int32_t i = 0; i < count; ++i) {
      if (!text::EqualsNoCase(applications->Item(i).Name(), appName)) continue;
      applications->Remove(i);
      applications->SaveChanges();
      return;
    }
  });
}

}  // namespace drossgate::setup
