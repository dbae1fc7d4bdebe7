#include "ComPlus.h"

#include <QComboBox>
#include <QLineEdit>

#include <variant>

#include "Globals.h"
#include "InstallForm.h"
#include "complus/catalog.h"
#include "text.h"

namespace drossgate::setup {

namespace complus = platform::complus;

namespace {

constexpr const char* kDefaultCondition = "X-Spam-Flag: YES";
constexpr const char* kDefaultTarget = "Spam";
constexpr const char* kDefaultPriority = "65535";

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

void SetPriority(InstallForm& form, const QString& priority) {
  form.state().priorityChanging = true;
  form.ui().txtPriority->setText(priority);
  form.state().priorityChanging = false;
  form.globals().LastValidPriority = priority;
}

void ShowConfiguration(InstallForm& form, const std::string& constructorString) {
  const InstallFormControls& ui = form.ui();
  const ConstructorLines lines = SplitConstructorString(constructorString);

  QString priority = QString::fromStdString(lines.priority);
  if (priority.isEmpty()) priority = ui.txtPriority->text();
  if (priority.isEmpty()) priority = kDefaultPriority;
  SetPriority(form, priority);

  if (!lines.conditions.empty()) {
    const std::vector<std::string> conditions = text::Split(lines.conditions, '\t');
    for (size_t i = 0; i < ui.rows.size(); ++i)
      ui.rows[i].txtSpamTag->setText(
          QString::fromStdString(i < conditions.size() ? conditions[i] : std::string()));
  } else {
    ui.rows[0].txtSpamTag->setText(kDefaultCondition);
    for (size_t i = 1; i < ui.rows.size(); ++i) {
      ui.rows[i].txtSpamTag->clear();
      ui.rows[i].txtSpamFolder->clear();
    }
  }

  if (!lines.targets.empty()) {
    const std::vector<std::string> targets = text::Split(lines.targets, '\t');
    for (size_t i = 0; i < ui.rows.size(); ++i) {
      const ShownTarget shown =
          ShowTarget(text::Trim(i < targets.size() ? targets[i] : std::string()));
      ui.rows[i].txtSpamFolder->setText(QString::fromStdString(shown.text));
      ui.rows[i].List1->setCurrentIndex(shown.action);
    }
  } else if (ui.rows[0].txtSpamFolder->text().isEmpty()) {
    ui.rows[0].txtSpamFolder->setText(kDefaultTarget);
    for (size_t i = 1; i < ui.rows.size(); ++i) {
      ui.rows[i].txtSpamTag->clear();
      ui.rows[i].txtSpamFolder->clear();
    }
  }
}

}  // namespace

std::filesystem::path SinkLibraryPath() {
  std::error_code error;
  const std::filesystem::path cwd = std::filesystem::current_path(error);
  return std::filesystem::path(cwd.string() + "/" + kProjectName + ".so");
}

ConstructorLines SplitConstructorString(const std::string& constructorString) {
  ConstructorLines lines;
  const size_t first = constructorString.find('\r');
  if (first == std::string::npos || first == 0) return lines;
  lines.targets = text::Trim(std::string_view(constructorString).substr(0, first));
  lines.conditions = text::Trim(std::string_view(constructorString).substr(first + 1));
  const size_t second = lines.conditions.find('\r');
  if (second != std::string::npos && second > 0) {
    lines.priority = text::Trim(std::string_view(lines.conditions).substr(second + 1));
    lines.conditions = text::Trim(std::string_view(lines.conditions).substr(0, second));
  }
  return lines;
}

ShownTarget ShowTarget(const std::string& target) {
  if (text::EqualsNoCase(target, "[NULL]")) return {kActionDelete, target};
  if (target.find('@') != std::string::npos) return {kActionForward, target};
  if (target.size() == 2 && (target[0] == '+' || target[0] == '-'))
    return {kActionSetScl, target[0] == '+' ? target.substr(1) : target};
  return {kActionMove, target};
}

bool ReadComPlusConfiguration(InstallForm& form, const std::string& appName,
                              std::string& identity) {
  bool found = false;
  std::string constructorString;
  RunLogged(&form, appName, [&] {
    auto catalog = complus::OpenCatalog();
    auto applications = catalog->GetCollection("Applications");
    applications->Populate();
    complus::CatalogObject* application = nullptr;
    for (int32_t i = 0; i < applications->Count() && !application; ++i) {
      complus::CatalogObject& candidate = applications->Item(i);
      if (text::EqualsNoCase(candidate.Name(), appName)) application = &candidate;
    }
    if (application) {
      found = true;
      identity = PropertyText(application->Value("Identity"));
      catalog->RefreshComponents();
      const std::string key = text::ToUpper(PropertyText(application->Value("ID")));
      auto components = applications->GetCollection("Components", key);
      components->Populate();
      const std::string prefix = appName + ".";
      for (int32_t i = 0; i < components->Count(); ++i) {
        complus::CatalogObject& component = components->Item(i);
        if (component.Name().rfind(prefix, 0) != 0) continue;
        const complus::PropertyValue text = component.Value("ConstructorString");
        if (IsTrue(component.Value("ConstructionEnabled")) &&
            !std::holds_alternative<std::monostate>(text))
          constructorString = PropertyText(text);
        break;
      }
    }
    ShowConfiguration(form, constructorString);
  });
  return found;
}

}  // namespace drossgate::setup
