#pragma once
// The setup tool's command line. Batch mode is asked for by "-b" or "/b" (any case) as the
// first two characters of the command line; options beginning with "--" are this program's
// own long options, all parsed here, and never count towards batch mode. Parsing never
// throws: bad input is reported in the result.

#include <QStringList>

#include <optional>
#include <string>
#include <vector>

namespace drossgate::setup {

inline constexpr const char* kTestConditionOption = "--test-condition";
inline constexpr const char* kTestMessageOption = "--test-message";

// The exit statuses of every way the program runs; --help documents them.
enum ExitStatus : int {
  kExitDone = 0,
  kExitRefused = 1,  // nothing changed (--test-condition: no match)
  kExitLogged = 2,   // done, with errors that concern the command
  kExitDamaged = 3,  // the installation is damaged
  kExitUsage = 64,   // the command line cannot be used (as sysexits.h's EX_USAGE)
};

// What --help prints: every option and exit status.
const char* UsageText();

// A condition and a sample value to test against it, both exactly as given.
struct ConditionTestRequest {
  std::string condition;
  std::string value;
};

// One rule row as the command line gives it; the action is checked when the row is filled.
struct RuleOption {
  std::string condition;
  std::string action;  // "move", "delete", "forward" or "scl"
  std::string target;
};

// The unattended run: which fields of the main window to fill and which boxes to check, as a
// person would, before the same run as "CHANGE". Active when any of its options was given.
struct UnattendedOptions {
  bool active = false;
  bool install = false;
  bool reconfigure = false;  // new rules or priority for the installed sink
  std::optional<std::string> identity;
  std::optional<std::string> passwordFile;  // "-": standard input
  std::optional<std::string> priority;
  std::vector<RuleOption> rules;
  std::vector<std::string> registerMailboxes;  // aliases or mail addresses
  bool registerAll = false;
  bool registerStoreWide = false;
  std::vector<std::string> unregisterMailboxes;
  bool unregisterAll = false;
  bool unregisterStoreWide = false;
  bool includeDisabled = false;  // --register and --register-all take disabled accounts too
  bool uninstall = false;
  bool list = false;
  bool json = false;
  bool passwordOnCommandLine = false;  // refused: other users could read it
};

// "--test-message FILE": the installed rules, or the --rule options, tried on a message file as
// the sink would on its delivery into a mailbox (--mailbox) with a spam confidence level (--scl),
// changing nothing. Each value exactly as given.
struct MessageTestRequest {
  std::optional<std::string> file;
  std::optional<std::string> mailbox;
  std::optional<std::string> scl;
  bool Asked() const { return file || mailbox || scl; }
};

struct SetupOptions {
  bool batchMode = false;
  // Warnings about the rules refuse the run (--install) or fail the test (--test-condition).
  bool strict = false;
  std::optional<ConditionTestRequest> testCondition = std::nullopt;
  UnattendedOptions unattended{};
  MessageTestRequest testMessage{};
  bool help = false;
};

struct ParsedCommandLine {
  SetupOptions options;
  std::string commandLine;  // the arguments that are not long options, joined by blanks
  std::string error;        // non-empty when the command line cannot be used
};

// arguments: the program's arguments without the program name (Qt's own already removed).
ParsedCommandLine ParseCommandLine(const QStringList& arguments);

}  // namespace drossgate::setup
