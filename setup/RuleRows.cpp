#include "RuleRows.h"

#include "text.h"

namespace drossgate::setup {

namespace rules = common::rules;

namespace {

constexpr const char* kDefaultCondition = "X-Spam-Flag: YES";
constexpr const char* kDefaultTarget = "Spam";
constexpr const char* kDefaultPriority = "65535";

}  // namespace

RuleRows::RuleRows() : priority(kDefaultPriority) {
  rows[0].condition = kDefaultCondition;
  rows[0].target = kDefaultTarget;
}

void RuleRows::SetCondition(size_t i, const std::string& condition) {
  rules::Row& row = rows[i];
  if (row.condition == condition) return;
  row.condition = condition;
  if (!text::Trim(condition).empty()) return;
  row.action = rules::ActionKind::kMove;
  row.target.clear();
}

void RuleRows::ShowConstructorString(std::string_view constructorString) {
  const rules::ConstructorLines lines = rules::SplitConstructorString(constructorString);
  if (!lines.priority.empty())
    priority = lines.priority;
  else if (priority.empty())
    priority = kDefaultPriority;

  auto clearOtherRows = [&] {
    for (size_t i = 1; i < kCount; ++i) {
      SetCondition(i, "");
      rows[i].target.clear();
    }
  };
  if (!lines.conditions.empty()) {
    const std::vector<std::string> conditions = text::Split(lines.conditions, '\t');
    for (size_t i = 0; i < kCount; ++i)
      SetCondition(i, i < conditions.size() ? conditions[i] : std::string());
  } else {
    SetCondition(0, kDefaultCondition);
    clearOtherRows();
  }

  if (!lines.targets.empty()) {
    const std::vector<std::string> targets = text::Split(lines.targets, '\t');
    for (size_t i = 0; i < kCount; ++i) {
      const rules::ShownTarget shown =
          rules::ShowTarget(text::Trim(i < targets.size() ? targets[i] : std::string()));
      rows[i].target = shown.text;
      rows[i].action = shown.action;
    }
  } else if (rows[0].target.empty()) {
    rows[0].target = kDefaultTarget;
    clearOtherRows();
  }
}

rules::Build RuleRows::Build() const {
  return rules::FormatConstructorString({rows.begin(), rows.end()}, priority);
}

std::vector<std::string> RuleRows::Warnings() const {
  return rules::RowWarnings({rows.begin(), rows.end()});
}

}  // namespace drossgate::setup
