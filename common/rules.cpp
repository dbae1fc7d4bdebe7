#include "rules.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "basParser.h"
#include "text.h"

namespace drossgate::common::rules {

using text::Trim;

namespace {

bool HasLineBreakOrTab(std::string_view s) {
  return s.find_first_of("\t\r\n") != std::string_view::npos;
}

// The sink's split of a condition: header name and pattern at the first ":" after the first
// character; without one the whole text is the name and the pattern is empty.
void SplitCondition(std::string_view condition, std::string& name, std::string& pattern) {
  const size_t colon = condition.find(':');
  if (colon != std::string_view::npos && colon >= 1) {
    pattern = Trim(condition.substr(colon + 1));
    name = Trim(condition.substr(0, colon));
  } else {
    pattern.clear();
    name = std::string(condition);
  }
}

// The text between "<" and ">" of a forward action, as the sink takes its address: only when
// "<" comes first, then "@", then ">".
std::string ForwardAddress(std::string_view action) {
  const size_t lt = action.find('<');
  const size_t at = action.find('@');
  const size_t gt = action.find('>');
  if (lt == std::string_view::npos || at == std::string_view::npos ||
      gt == std::string_view::npos || at < lt || gt < at)
    return {};
  return Trim(action.substr(lt + 1, gt - lt - 1));
}

std::string Quoted(std::string_view s) {
  return "\"" + std::string(s) + "\"";
}

}  // namespace

ActionKind ClassifyAction(std::string_view action) {
  if (text::EqualsNoCase(action, "[Null]")) return ActionKind::kDelete;
  if (action.find('<') != std::string_view::npos && action.find('>') != std::string_view::npos &&
      action.find('@') != std::string_view::npos)
    return ActionKind::kForward;
  if (action.size() == 2 && (action[0] == '+' || action[0] == '-')) return ActionKind::kSetScl;
  return ActionKind::kMove;
}

ParsedRules ParseConstructorString(std::string_view text) {
  ParsedRules s;
  s.currentHeaderName = std::string(text);

  // Only a carriage return after the first character separates line 1 from the rest.
  if (size_t cr = text.find('\r'); cr != std::string_view::npos && cr >= 1) {
    s.currentAction = text::ReplaceAll(Trim(text.substr(0, cr)), "\\", "/");
    s.currentHeaderName = Trim(text.substr(cr + 1));
  }
  if (size_t cr = s.currentHeaderName.find('\r'); cr != std::string::npos && cr >= 1)
    s.currentHeaderName = Trim(std::string_view(s.currentHeaderName).substr(0, cr));

  s.actions = text::Split(s.currentAction, '\t');
  s.headerNames = text::Split(s.currentHeaderName, '\t');
  s.patterns = s.headerNames;
  // The rule index is a 16-bit number; longer lists are cut there.
  const size_t limit = std::numeric_limits<int16_t>::max() + size_t{1};
  s.lastRule = static_cast<int>(std::min({s.actions.size(), s.headerNames.size(), limit})) - 1;
  for (int i = 0; i <= s.lastRule; ++i) {
    const std::string condition = s.headerNames[i];
    SplitCondition(condition, s.headerNames[i], s.patterns[i]);
  }
  return s;
}

std::string CleanUpTarget(std::string_view target) {
  std::string t = text::ReplaceAll(text::TrimView(target), "/", "\\");
  std::erase_if(t, [](char c) { return c == '\'' || c == '"'; });
  const size_t first = t.find_first_not_of('\\');
  if (first == std::string::npos) return {};
  t = t.substr(first, t.find_last_not_of('\\') - first + 1);
  std::erase(t, ':');
  return t;
}

bool IsValidScl(std::string_view value) {
  if (value.empty() || value.size() > 2) return false;
  const bool negative = value[0] == '-';
  const std::string_view digits = negative || value[0] == '+' ? value.substr(1) : value;
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  int n = 0;
  for (char c : digits) n = n * 10 + (c - '0');
  return negative ? n <= 1 : n <= 9;
}

std::string SignedScl(std::string_view value) {
  if (value.empty()) return {};
  const bool negative = value.front() == '-';
  const char digit = value.back();
  return std::string(negative && digit != '0' ? "-" : "+") + digit;
}

std::string TargetText(const Row& row) {
  const std::string cleaned = CleanUpTarget(row.target);
  switch (row.action) {
    case ActionKind::kDelete:
      return "[Null]";
    case ActionKind::kSetScl:
      return IsValidScl(cleaned) ? SignedScl(cleaned) : cleaned;
    case ActionKind::kForward:
      // A bare address, written as it stands, would be a folder name to the sink.
      if (cleaned.find_first_of("<> \t") == std::string::npos &&
          cleaned.find('@') != std::string::npos)
        return "<" + cleaned + ">";
      return cleaned;
    case ActionKind::kMove:
      break;
  }
  return cleaned;
}

std::string RowRefusal(const Row& row) {
  if (HasLineBreakOrTab(row.condition) || HasLineBreakOrTab(row.target)) return kLineBreakMessage;
  const std::string target = TargetText(row);
  if (Trim(row.condition).empty() || target.empty()) return kFillRulesMessage;
  const ActionKind read = ClassifyAction(target);
  switch (row.action) {
    case ActionKind::kMove:
      if (read == ActionKind::kForward)
        return "The folder " + Quoted(target) +
               " would be taken for a forward address: a folder path cannot hold \"<\", \">\" "
               "and \"@\"";
      if (read == ActionKind::kSetScl)
        return "The folder " + Quoted(target) +
               " would be taken for an SCL value: a folder path cannot be a sign and one "
               "character";
      if (read == ActionKind::kDelete)
        return "The folder " + Quoted(target) + " would be taken for the delete action";
      return {};
    case ActionKind::kForward: {
      const std::string address = ForwardAddress(target);
      if (read != ActionKind::kForward || address.empty() ||
          address.find_first_of(" \t") != std::string::npos)
        return "The forward target " + Quoted(target) +
               " needs an address in angle brackets, such as Spam Desk "
               "<spamdesk@example.com>";
      return {};
    }
    case ActionKind::kSetScl:
      return IsValidScl(CleanUpTarget(row.target)) ? std::string() : kSclRangeMessage;
    case ActionKind::kDelete:
      return {};
  }
  return {};
}

Build FormatConstructorString(const std::vector<Row>& rows, std::string_view priority) {
  Build build;
  // A TAB or line break inside a field would split the text into other rules or lines.
  for (const Row& row : rows) {
    if (HasLineBreakOrTab(row.condition) || HasLineBreakOrTab(row.target)) {
      build.refusal = kLineBreakMessage;
      return build;
    }
  }
  std::string targets;
  std::string conditions;
  for (const Row& row : rows) {
    // The box keeps an SCL value as typed (cleaned), and shows what else is written.
    const std::string shown =
        row.action == ActionKind::kSetScl ? CleanUpTarget(row.target) : TargetText(row);
    build.shownTargets.push_back(shown);
    const std::string condition = Trim(row.condition);
    if (condition.empty() && shown.empty()) continue;
    // A row with only one of the two would pair every later condition with another action.
    if (std::string refusal = RowRefusal(row); !refusal.empty()) {
      build.refusal = refusal;
      return build;
    }
    targets += TargetText(row) + "\t";
    conditions += condition + "\t";
  }
  if (targets.empty() || conditions.empty()) {
    build.refusal = kFillRulesMessage;
    return build;
  }
  build.constructorString = targets + "\r" + conditions + "\r" + Trim(priority);
  return build;
}

ConstructorLines SplitConstructorString(std::string_view s) {
  ConstructorLines lines;
  const size_t cr = s.find('\r');
  if (cr == std::string_view::npos || cr < 1) return lines;
  lines.targets = Trim(s.substr(0, cr));
  // The second line is trimmed before its own carriage return is looked for.
  lines.conditions = Trim(s.substr(cr + 1));
  const size_t cr2 = lines.conditions.find('\r');
  if (cr2 != std::string::npos && cr2 >= 1) {
    lines.priority = Trim(std::string_view(lines.conditions).substr(cr2 + 1));
    lines.conditions = Trim(std::string_view(lines.conditions).substr(0, cr2));
  }
  return lines;
}

ShownTarget ShowTarget(std::string_view target) {
  ShownTarget shown{ActionKind::kMove, std::string(target)};
  if (target.empty()) return shown;
  shown.action = ClassifyAction(target);
  if (shown.action == ActionKind::kSetScl && target[0] == '+') shown.text.erase(0, 1);
  return shown;
}

std::vector<std::string> ConditionWarnings(std::string_view condition) {
  std::vector<std::string> warnings;
  const std::string shown = Quoted(Trim(condition));
  const size_t colon = condition.find(':');
  if (colon == std::string_view::npos || colon < 1) {
    warnings.push_back(shown +
                       " has no \":\" after a header name: the whole text is taken as "
                       "the name of a header line, with an empty pattern");
    return warnings;
  }
  std::string name, pattern;
  SplitCondition(condition, name, pattern);
  if (name.find_first_of(" \t\r\n") != std::string::npos)
    warnings.push_back("the header name " + Quoted(name) +
                       " holds a space, TAB or line break: no header line is named so");
  for (std::string& w : PatternWarnings(name, pattern)) warnings.push_back(std::move(w));
  return warnings;
}

std::vector<std::string> PatternWarnings(std::string_view name, std::string_view pattern) {
  std::vector<std::string> warnings;
  const std::string shown =
      Quoted(name.empty() ? std::string(pattern) : std::string(name) + ": " + std::string(pattern));
  // The pattern as the matcher sees it: "{*}" and "{?}" are wildcards, the first other "{"
  // opens a comparison.
  const bool wildcards = pattern.find("{*}") != std::string_view::npos ||
                         pattern.find("{?}") != std::string_view::npos;
  const std::string rest =
      text::ReplaceAll(text::ReplaceAll(std::string(pattern), "{*}", "*"), "{?}", "?");
  if (wildcards && rest.find('[') != std::string::npos)
    warnings.push_back("the pattern " + Quoted(pattern) +
                       " holds \"[\": with {*} or {?} in a pattern, a text in square brackets "
                       "is a list of characters, and [SPAM] matches any one of S, P, A and M");
  const size_t open = rest.find('{');
  bool comparison = false;
  if (open != std::string::npos) {
    const size_t close = rest.find('}', open);
    std::string inner =
        close == std::string::npos ? std::string() : rest.substr(open + 1, close - open - 1);
    std::erase(inner, ' ');
    comparison = !inner.empty() && (inner[0] == '<' || inner[0] == '>');
    if (close == std::string::npos)
      warnings.push_back("the pattern " + Quoted(pattern) +
                         " has a \"{\" without \"}\": only a value that begins with the whole "
                         "pattern can match");
    else if (!comparison)
      warnings.push_back("the braces of the pattern " + Quoted(pattern) +
                         " hold no comparison (< or > and a number): only a value that begins "
                         "with the whole pattern can match");
  }
  if (comparison && text::EqualsNoCase(name, "IMFSCL")) {
    bool any = false;
    for (int level = -1; level <= 9 && !any; ++level)
      any = ConditionTest(std::to_string(level), pattern);
    if (!any)
      warnings.push_back("no spam confidence level from -1 to 9 meets " + Quoted(pattern) +
                         ": the rule never matches");
  }
  if (comparison && text::EqualsNoCase(name, "subject"))
    warnings.push_back("the subject is compared as a number in " + shown +
                       ": only a subject that begins with a number can match");
  return warnings;
}

std::vector<std::string> RowWarnings(const std::vector<Row>& rows) {
  std::vector<std::string> warnings;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (Trim(rows[i].condition).empty()) continue;
    for (std::string& w : ConditionWarnings(Trim(rows[i].condition)))
      warnings.push_back("rule " + std::to_string(i + 1) + ": " + w);
  }
  return warnings;
}

std::vector<std::string> ConstructorStringWarnings(std::string_view text) {
  std::vector<std::string> warnings;
  if (text.find('\n') != std::string_view::npos)
    warnings.push_back(
        "the constructor string holds a line feed, which the sink keeps as part of a name or "
        "pattern (a file saved with CR LF line ends or a final newline gives rules that never "
        "match): separate its lines with a carriage return alone");
  const ParsedRules rules = ParseConstructorString(text);
  const std::vector<std::string> conditions = text::Split(rules.currentHeaderName, '\t');
  for (int i = 0; i <= rules.lastRule; ++i) {
    if (rules.actions[i].empty()) continue;
    for (std::string& w : ConditionWarnings(conditions[i]))
      warnings.push_back("rule " + std::to_string(i + 1) + ": " + w);
  }
  return warnings;
}

}  // namespace drossgate::common::rules
