#pragma once
// The rule language, defined once for the sink and the setup program. A rule is a condition
// (a header name and a pattern) and an action (a kind and a target). Here is how the setup
// program's rule rows become the constructor string, how the sink parses that string, how the
// setup program reads it back into rows, how an action's text is classified, which rows would
// not do what they say, and which rules deserve a warning. Nothing here fails or throws.

#include <string>
#include <string_view>
#include <vector>

namespace drossgate::common::rules {

// In the order of the setup window's action list.
enum class ActionKind : int { kMove = 0, kDelete = 1, kForward = 2, kSetScl = 3 };

// What the sink makes of a non-empty action text, the first that fits: "[Null]" in any case
// deletes; a text holding "<", ">" and "@" anywhere forwards; exactly two characters beginning
// with "+" or "-" set the SCL; anything else is a folder path to move to.
ActionKind ClassifyAction(std::string_view action);

// The constructor string as the sink parses it: line 1 the actions and line 2 the conditions,
// lines separated by a carriage return only, elements by TAB, only spaces trimmed; a condition
// is cut at its first ":" into header name and pattern. Rule i is (actions[i], headerNames[i],
// patterns[i]) for i up to lastRule (-1: none). currentAction and currentHeaderName are the
// values the sink's working fields start with.
struct ParsedRules {
  std::vector<std::string> actions;
  std::vector<std::string> headerNames;
  std::vector<std::string> patterns;
  int lastRule = -1;
  std::string currentAction = "Spam";
  std::string currentHeaderName;
};
ParsedRules ParseConstructorString(std::string_view text);

// --- The setup program's rule rows ----------------------------------------------------------

inline constexpr const char* kFillRulesMessage =
    "Please fill the Spam header and Target folder fields";
inline constexpr const char* kLineBreakMessage =
    "The Spam header and Target folder fields must not contain tabs or line breaks";
inline constexpr const char* kSclRangeMessage = "SCL should be from -1 To 9";

struct Row {
  std::string condition;  // "Header: pattern"
  ActionKind action = ActionKind::kMove;
  std::string target;  // folder path, forward recipient or SCL value; unused for delete
};

// A folder path made fit for the targets line: trimmed, "/" turned into "\", quotes and
// apostrophes removed, no "\" at either end, and no ":".
std::string CleanUpTarget(std::string_view target);
// A set-SCL value from -1 to 9, written as one digit, or a sign and one digit.
bool IsValidScl(std::string_view value);
// A valid SCL value as the sink reads it: sign and digit ("+9", "-1").
std::string SignedScl(std::string_view value);

// What the targets line gets for a row that is used (condition and target given): "[Null]" for
// a delete, the signed value for an SCL, the cleaned path for a move, and for a forward the
// recipient with its address in angle brackets ("<address>" around a bare address).
std::string TargetText(const Row& row);
// Why a used row cannot be written as it says: the sink would read its target as another
// action, or the target holds no folder, no address or no SCL value. Empty when it can.
std::string RowRefusal(const Row& row);

struct Build {
  std::string constructorString;  // empty when refused
  std::string refusal;            // the message that refuses the rows, or empty
  // What the target boxes of the rows worked through are to show afterwards.
  std::vector<std::string> shownTargets;
};
// Targets line, CR, conditions line, CR, trimmed priority. A row is used when it has a
// condition or a target; a used row needs both and must do what it says, and at least one row
// must be used.
Build FormatConstructorString(const std::vector<Row>& rows, std::string_view priority);

// The three lines of a constructor string as the setup program reads it back, each trimmed;
// all empty when the string has no carriage return after its first character.
struct ConstructorLines {
  std::string targets;
  std::string conditions;
  std::string priority;
};
ConstructorLines SplitConstructorString(std::string_view constructorString);

// A stored target as a row shows it: the action the sink reads in it and the text for the
// target box (an SCL value without its "+").
struct ShownTarget {
  ActionKind action = ActionKind::kMove;
  std::string text;
};
ShownTarget ShowTarget(std::string_view target);

// --- Warnings -------------------------------------------------------------------------------

// What makes a condition do less, or more, than it seems to say: a wildcard pattern holding a
// character list, braces without a comparison, a header name the sink cannot find, an SCL
// comparison no level meets, a subject compared as a number. One sentence each.
std::vector<std::string> ConditionWarnings(std::string_view condition);
// The pattern's part of those, for a pattern tested on the value of headerName (empty: any).
std::vector<std::string> PatternWarnings(std::string_view headerName, std::string_view pattern);
// The warnings of every used row, each beginning "rule N: " (N from 1).
std::vector<std::string> RowWarnings(const std::vector<Row>& rows);
// The same for every rule of a constructor string, and a line feed anywhere in it.
std::vector<std::string> ConstructorStringWarnings(std::string_view text);

}  // namespace drossgate::common::rules
