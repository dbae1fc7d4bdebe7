#pragma once
// The setup program without a person: the main window, never shown, is loaded and
// initialised, its fields are filled and its boxes checked through the same handlers a person
// would use, and the same run as "CHANGE" does the work. The result is the exit status
// (ExitStatus): kExitUsage for options that do not go together; kExitRefused when a validation
// refuses the run (the message on err, nothing changed) or the platform fails the program;
// kExitLogged when errors concern the command: what the run itself logged, or a mailbox it was
// to work on (every mailbox, for --list and the "all" options) that cannot be reached, each
// printed on err; kExitDamaged when the installation is damaged (after the lists, or after the
// run; the reason on err); else kExitDone. A run waits while another one works on the
// same platform root. The password is read from a file or standard input only, and is never
// written anywhere but to the catalog.

#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "rules.h"

namespace drossgate::setup {

// The action a --rule option names ("move", "delete", "forward", "scl"); nullopt for another
// name.
std::optional<common::rules::ActionKind> RuleActionKind(const std::string& name);
// What is wrong with the --rule options (more than four, an unknown action); empty when
// nothing is.
std::string CheckRuleOptions(const std::vector<RuleOption>& rules);
// The rule rows of --rule options whose actions are all known, as the window's rows hold them.
std::vector<common::rules::Row> CommandLineRows(const std::vector<RuleOption>& rules);
// Whether any unattended option but --json and --rule was given.
bool AnyUnattendedOptionBesideRules(UnattendedOptions options);

// Needs a QApplication. in is read when the password file is "-".
int RunUnattended(const SetupOptions& options, std::istream& in, std::ostream& out,
                  std::ostream& err);

}  // namespace drossgate::setup
