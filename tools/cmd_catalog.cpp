// catalog ls|show|install|uninstall: the component catalog as an administrator sees it. install
// and uninstall make the same catalog calls, in the same order, as the setup program does, so
// a sink installed here is found exactly as one installed by setup. Passwords never appear.
#include <iostream>
#include <memory>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "complus/catalog.h"
#include "error.h"
#include "rules.h"
#include "text.h"

namespace drossgate::tools {

namespace {

using namespace platform::complus;
using platform::PlatformError;
namespace errors = platform::errors;

constexpr const char* kMask = "********";

bool IsPassword(const std::string& name) {
  return text::EqualsNoCase(name, "Password");
}

bool IsSet(const PropertyValue& v) {
  if (auto s = std::get_if<std::string>(&v)) return !s->empty();
  return !std::holds_alternative<std::monostate>(v);
}

nlohmann::ordered_json ToJson(const std::string& name, const PropertyValue& v) {
  if (IsPassword(name)) return IsSet(v) ? kMask : "";
  if (auto b = std::get_if<bool>(&v)) return *b;
  if (auto i = std::get_if<int32_t>(&v)) return *i;
  if (auto s = std::get_if<std::string>(&v)) return *s;
  return nullptr;
}

std::string ToText(const std::string& name, const PropertyValue& v) {
  if (IsPassword(name)) return IsSet(v) ? kMask : "";
  if (auto b = std::get_if<bool>(&v)) return *b ? "true" : "false";
  if (auto i = std::get_if<int32_t>(&v)) return std::to_string(*i);
  if (auto s = std::get_if<std::string>(&v)) return Printable(*s, true);
  return "null";
}

nlohmann::ordered_json ObjectJson(CatalogObject& o) {
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  for (const std::string& name : o.PropertyNames()) j[name] = ToJson(name, o.Value(name));
  return j;
}

void PrintObject(CatalogObject& o, const std::string& indent) {
  for (const std::string& name : o.PropertyNames())
    std::cout << indent << name << ": " << ToText(name, o.Value(name)) << "\n";
}

// The application named (without regard to case) or with that ID; -1 when there is none.
int32_t FindApplication(CatalogCollection& apps, const std::string& nameOrId) {
  for (int32_t i = 0; i < apps.Count(); ++i)
    if (text::EqualsNoCase(apps.Item(i).Name(), nameOrId)) return i;
  for (int32_t i = 0; i < apps.Count(); ++i)
    if (text::EqualsNoCase(apps.Item(i).Key(), nameOrId)) return i;
  return -1;
}

std::string IdOf(CatalogObject& app) {
  PropertyValue v = app.Value("ID");
  auto s = std::get_if<std::string>(&v);
  return s ? *s : std::string();
}

void List(bool json) {
  auto catalog = OpenCatalog();
  auto apps = catalog->GetCollection("Applications");
  apps->Populate();
  nlohmann::ordered_json out = nlohmann::ordered_json::array();
  for (int32_t i = 0; i < apps->Count(); ++i) {
    CatalogObject& app = apps->Item(i);
    auto comps = apps->GetCollection("Components", text::ToUpper(IdOf(app)));
    comps->Populate();
    std::vector<std::string> names;
    for (int32_t c = 0; c < comps->Count(); ++c) names.push_back(comps->Item(c).Name());
    if (json) {
      out.push_back({{"name", app.Name()}, {"id", IdOf(app)}, {"components", names}});
    } else {
      std::cout << app.Name() << "\t" << IdOf(app) << "\t";
      for (size_t c = 0; c < names.size(); ++c) std::cout << (c ? "," : "") << names[c];
      std::cout << "\n";
    }
  }
  if (json) std::cout << out.dump(2) << "\n";
}

void Show(const std::string& appName, bool json) {
  auto catalog = OpenCatalog();
  auto apps = catalog->GetCollection("Applications");
  apps->Populate();
  int32_t index = FindApplication(*apps, appName);
  if (index < 0)
    throw PlatformError(errors::kNotFound,
                        "The application " + appName + " does not exist in the catalog");
  CatalogObject& app = apps->Item(index);
  auto comps = apps->GetCollection("Components", text::ToUpper(IdOf(app)));
  comps->Populate();
  if (json) {
    nlohmann::ordered_json out = {{"application", ObjectJson(app)},
                                  {"components", nlohmann::ordered_json::array()}};
    for (int32_t c = 0; c < comps->Count(); ++c)
      out["components"].push_back(ObjectJson(comps->Item(c)));
    std::cout << out.dump(2) << "\n";
    return;
  }
  std::cout << "Application " << app.Name() << "\n";
  PrintObject(app, "  ");
  for (int32_t c = 0; c < comps->Count(); ++c) {
    std::cout << "Component " << comps->Item(c).Name() << "\n";
    PrintObject(comps->Item(c), "  ");
  }
}

struct InstallArgs {
  std::string app;
  std::string dll;
  std::string identity;
  std::string passwordFile;
  std::string constructorFile;
};

// A secret typed into a file usually ends with a line break that is not part of it.
std::string WithoutFinalNewline(std::string s) {
  if (!s.empty() && s.back() == '\n') s.pop_back();
  if (!s.empty() && s.back() == '\r') s.pop_back();
  return s;
}

void Install(const InstallArgs& a) {
  if (text::Trim(a.app).empty()) throw UsageError("--app needs an application name");
  const std::string identity = text::Trim(a.identity);
  const std::string password =
      a.passwordFile.empty() ? "" : text::Trim(WithoutFinalNewline(ReadInputFile(a.passwordFile)));
  // The constructor string is the file's content byte for byte: its line breaks are CRs that
  // belong to it.
  const std::string constructorString =
      a.constructorFile.empty() ? "" : ReadInputFile(a.constructorFile);
  for (const std::string& w : common::rules::ConstructorStringWarnings(constructorString))
    std::cerr << "warning: " << w << "\n";

  auto catalog = OpenCatalog();
  auto apps = catalog->GetCollection("Applications");
  apps->Populate();
  // The setup program offers installation only when the application is absent; the tool
  // says so instead of adding a second application of that name.
  if (FindApplication(*apps, a.app) >= 0)
    throw PlatformError(errors::kAlreadyExists,
                        "The application " + a.app + " is already installed; uninstall it first");
  CatalogObject& app = apps->Add();
  app.SetValue("Name", a.app);
  app.SetValue("ApplicationAccessChecksEnabled", false);
  if (!identity.empty() && !password.empty()) {
    app.SetValue("Identity", identity);
    app.SetValue("Password", password);
  }
  apps->SaveChanges();
  catalog->InstallComponent(a.app, a.dll, "", "");
  catalog->RefreshComponents();

  std::string constructed;
  if (!constructorString.empty()) {
    auto comps = apps->GetCollection("Components", text::ToUpper(IdOf(app)));
    comps->Populate();
    for (int32_t i = 0; i < comps->Count(); ++i) {
      CatalogObject& comp = comps->Item(i);
      if (comp.Name().rfind(a.app + ".", 0) == 0) {
        comp.SetValue("ConstructionEnabled", true);
        comp.SetValue("ConstructorString", constructorString);
        comps->SaveChanges();
        constructed = comp.Name();
        break;
      }
    }
  }
  std::cout << "Installed application " << a.app << " " << IdOf(app) << "\n";
  if (!constructorString.empty()) {
    if (constructed.empty())
      std::cerr << "drossgate-platform: no component named " << a.app
                << ".* took the constructor string\n";
    else
      std::cout << "Constructor string set on " << constructed << "\n";
  }
}

void Uninstall(const std::string& appName) {
  auto catalog = OpenCatalog();
  auto apps = catalog->GetCollection("Applications");
  apps->Populate();
  const int32_t count = apps->Count();
  for (int32_t i = 0; i < count; ++i) {
    if (text::EqualsNoCase(apps->Item(i).Name(), appName)) {
      apps->Remove(i);
      apps->SaveChanges();
      std::cout << "Removed application " << appName << "\n";
      return;
    }
  }
  std::cout << "Application " << appName << " is not installed\n";
}

}  // namespace

void AddCatalogCommands(CLI::App& app) {
  CLI::App* cat = app.add_subcommand("catalog", "inspect and change the component catalog");
  cat->require_subcommand(1);

  auto lsJson = std::make_shared<bool>(false);
  CLI::App* ls = cat->add_subcommand("ls", "list applications: name, ID, component names");
  ls->add_flag("--json", *lsJson, "print JSON");
  ls->callback([lsJson] { List(*lsJson); });

  auto showApp = std::make_shared<std::string>();
  auto showJson = std::make_shared<bool>(false);
  CLI::App* show =
      cat->add_subcommand("show", "an application's properties and its components' properties");
  show->add_option("app", *showApp, "application name or ID")->required();
  show->add_flag("--json", *showJson, "print JSON");
  show->callback([showApp, showJson] { Show(*showApp, *showJson); });

  auto args = std::make_shared<InstallArgs>();
  CLI::App* install =
      cat->add_subcommand("install", "add an application and install a component library into it");
  install->add_option("--app", args->app, "application name")->required();
  install->add_option("--dll", args->dll, "component library")->required();
  CLI::Option* identity =
      install->add_option("--identity", args->identity, "account the application runs as");
  CLI::Option* password = install->add_option("--password-file", args->passwordFile,
                                              "file holding that account's password");
  identity->needs(password);
  password->needs(identity);
  install->add_option("--constructor-string-file", args->constructorFile,
                      "file whose whole content becomes the constructor string of the component "
                      "named APP.*");
  install->callback([args] { Install(*args); });

  auto uninstallApp = std::make_shared<std::string>();
  CLI::App* uninstall =
      cat->add_subcommand("uninstall", "remove an application and its components");
  uninstall->add_option("--app", *uninstallApp, "application name")->required();
  uninstall->callback([uninstallApp] { Uninstall(*uninstallApp); });
}

}  // namespace drossgate::tools
