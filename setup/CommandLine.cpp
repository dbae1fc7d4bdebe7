#include "CommandLine.h"

#include "text.h"

namespace drossgate::setup {

namespace {

// Long options the program knows. A new option gets a row here and its effect on
// SetupOptions. An option's own arguments follow it and are taken verbatim, also when they
// begin with "-" (a value such as -1 is a value, not a switch).
struct LongOption {
  const char* name;
  int argumentCount;
  const char* argumentNames;  // for the message when arguments are missing
  void (*apply)(SetupOptions&, const QStringList& arguments);
  // Then also every following argument that does not begin with "--".
  bool moreArguments = false;
};

void Append(std::vector<std::string>& to, const QStringList& arguments) {
  for (const QString& argument : arguments) to.push_back(argument.toStdString());
}

// The unattended options' part of the options, marked as asked for.
UnattendedOptions& Unattended(SetupOptions& options) {
  options.unattended.active = true;
  return options.unattended;
}
constexpr LongOption kLongOptions[] = {
    {kTestConditionOption, 2, "CONDITION VALUE",
     [](SetupOptions& options, const QStringList& arguments) {
       options.testCondition =
           ConditionTestRequest{arguments[0].toStdString(), arguments[1].toStdString()};
     }},
    {kTestMessageOption, 1, "FILE",
     [](SetupOptions& o, const QStringList& a) { o.testMessage.file = a[0].toStdString(); }},
    {"--mailbox", 1, "MAILBOX",
     [](SetupOptions& o, const QStringList& a) { o.testMessage.mailbox = a[0].toStdString(); }},
    {"--scl", 1, "N",
     [](SetupOptions& o, const QStringList& a) { o.testMessage.scl = a[0].toStdString(); }},
    {"--install", 0, "", [](SetupOptions& o, const QStringList&) { Unattended(o).install = true; }},
    {"--reconfigure", 0, "",
     [](SetupOptions& o, const QStringList&) { Unattended(o).reconfigure = true; }},
    {"--identity", 1, "ID",
     [](SetupOptions& o, const QStringList& a) { Unattended(o).identity = a[0].toStdString(); }},
    {"--password-file", 1, "FILE (or - for standard input)",
     [](SetupOptions& o, const QStringList& a) {
       Unattended(o).passwordFile = a[0].toStdString();
     }},
    {"--password", 0, "",
     [](SetupOptions& o, const QStringList&) { Unattended(o).passwordOnCommandLine = true; }},
    {"--priority", 1, "N",
     [](SetupOptions& o, const QStringList& a) { Unattended(o).priority = a[0].toStdString(); }},
    {"--rule", 3, "CONDITION ACTION TARGET",
     [](SetupOptions& o, const QStringList& a) {
       Unattended(o).rules.push_back({a[0].toStdString(), a[1].toStdString(), a[2].toStdString()});
     }},
    {"--register", 1, "MAILBOX...",
     [](SetupOptions& o, const QStringList& a) { Append(Unattended(o).registerMailboxes, a); },
     true},
    {"--register-all", 0, "",
     [](SetupOptions& o, const QStringList&) { Unattended(o).registerAll = true; }},
    {"--register-store-wide", 0, "",
     [](SetupOptions& o, const QStringList&) { Unattended(o).registerStoreWide = true; }},
    {"--unregister", 1, "MAILBOX...",
     [](SetupOptions& o, const QStringList& a) { Append(Unattended(o).unregisterMailboxes, a); },
     true},
    {"--unregister-all", 0, "",
     [](SetupOptions& o, const QStringList&) { Unattended(o).unregisterAll = true; }},
    {"--unregister-store-wide", 0, "",
     [](SetupOptions& o, const QStringList&) { Unattended(o).unregisterStoreWide = true; }},
    {"--include-disabled", 0, "",
     [](SetupOptions& o, const QStringList&) { Unattended(o).includeDisabled = true; }},
    {"--uninstall", 0, "",
     [](SetupOptions& o, const QStringList&) { Unattended(o).uninstall = true; }},
    {"--list", 0, "", [](SetupOptions& o, const QStringList&) { Unattended(o).list = true; }},
    {"--json", 0, "", [](SetupOptions& o, const QStringList&) { Unattended(o).json = true; }},
    {"--strict", 0, "", [](SetupOptions& o, const QStringList&) { o.strict = true; }},
    {"--help", 0, "", [](SetupOptions& o, const QStringList&) { o.help = true; }},
};

constexpr const char* kUsage =
    R"(Usage: DrossgateSetup                 the setup window, after the liability notice
       DrossgateSetup -b              batch mode (also /b): renew every registration
       DrossgateSetup OPTION...       the window's run, without a window or a display
       DrossgateSetup --list [--json]
       DrossgateSetup --test-condition CONDITION VALUE [--strict]
       DrossgateSetup --test-message FILE [--mailbox MAILBOX] [--scl N] [--rule ...] [--json]
       DrossgateSetup --help

The platform root is the folder DROSSGATE_PLATFORM names. One run at a time per platform root:
a run waits, saying so on standard error, while another one works there.

Installing (in the folder that holds Drossgate.so, which the sink is installed from):
  --install                   install the sink with the rules below
  --identity ACCOUNT          the account the sink runs as
  --password-file FILE        its password: the first line of FILE, or of standard input for -
                              (never taken from the command line)
  --rule CONDITION ACTION TARGET
                              a rule, up to four, in order; ACTION move (TARGET a folder path),
                              delete (TARGET ignored: give ''), forward (TARGET a recipient,
                              "Name <address>" or an address) or scl (TARGET -1 to 9)
  --priority N                the event sink priority, 0 (highest) to 65535 (lowest, the default)
  --strict                    warnings about the rules refuse the run
  --reconfigure               give the installed sink new rules (--rule: all four rows are
                              replaced) or a new priority (--priority), or both; its identity,
                              password and registrations stay, and each delivery from then on
                              uses them (registrations keep their priority until -b renews them)
  --uninstall                 remove the sink, after the registration options below; warns of
                              registrations it leaves behind

Registering (MAILBOX: an alias or a mail address of a mailbox of this server):
  --register MAILBOX...       register the sink on these mailboxes
  --register-all              on every mailbox not yet registered, disabled accounts left out
  --include-disabled          --register and --register-all take disabled accounts too
  --register-store-wide       on every mailbox store of this server
  --unregister MAILBOX...     remove the registration from these mailboxes
  --unregister-all            from every registered mailbox, disabled accounts included
  --unregister-store-wide     from every mailbox store of this server

Looking:
  --list                      the installation's state (installed, not installed, or damaged and
                              why), then one line per entry of the window's four lists: the list,
                              the entry, its state (registered, not registered, or unreachable and
                              the error that says why)
  --json                      with --list or --test-message: the same as one JSON object
  --test-condition CONDITION VALUE
                              whether VALUE matches CONDITION's pattern, as the sink decides;
                              warnings about the pattern on standard error
  --test-message FILE         what the sink would do on delivering the message in FILE, changing
                              nothing: for each rule the value it reads and whether it matches,
                              then the first match, its action and target, and the rules'
                              warnings; the installed rules, or those of --rule options
  --mailbox MAILBOX           with --test-message: the delivery is into this mailbox (its inbox
                              name and folders resolve the target); else none, and the target
                              stays as the rule writes it
  --scl N                     with --test-message: the message's spam confidence level, -1 to 9,
                              as a delivery records it; none when left out
  --help                      this text

Exit status:
  0   done (--test-condition: the value matches; --test-message: evaluated, match or not)
  1   refused, or the platform cannot be reached: nothing changed, the reason on standard error
      (--test-condition: no match, or with --strict a warning; --test-message: the message file
      cannot be used (missing, unreadable, empty, binary, over 50 MB), the mailbox is unknown,
      or neither installed rules nor --rule options are there to evaluate)
  2   done, but with errors concerning the command, from the error log, on standard error
      (--list: mailboxes that cannot be reached)
  3   the installation is damaged: the sink would not filter; the reason on standard error
      (--test-message: the catalog cannot be read)
  64  bad usage: an unknown option, a missing value, options that do not go together
Batch mode ends the same way; with 3 it renews nothing.
)";

const LongOption* FindLongOption(const std::string& argument) {
  for (const LongOption& option : kLongOptions)
    if (argument == option.name) return &option;
  return nullptr;
}

}  // namespace

const char* UsageText() {
  return kUsage;
}

ParsedCommandLine ParseCommandLine(const QStringList& arguments) {
  ParsedCommandLine parsed;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const std::string text = arguments[i].toStdString();
    if (text.rfind("--", 0) == 0) {
      const LongOption* option = FindLongOption(text);
      if (!option) {
        // Only the name: a value glued on with "=" may be a secret.
        if (parsed.error.empty())
          parsed.error = "unknown option '" + text.substr(0, text.find('=')) + "'";
        continue;
      }
      if (arguments.size() - i - 1 < option->argumentCount) {
        if (parsed.error.empty())
          parsed.error = "option '" + text + "' needs " + option->argumentNames;
        break;
      }
      qsizetype count = option->argumentCount;
      if (option->moreArguments)
        while (i + 1 + count < arguments.size() &&
               !arguments[i + 1 + count].startsWith(QStringLiteral("--")))
          ++count;
      option->apply(parsed.options, arguments.mid(i + 1, count));
      i += count;
      continue;
    }
    if (!parsed.commandLine.empty()) parsed.commandLine += ' ';
    parsed.commandLine += text;
  }
  const std::string_view head = std::string_view(parsed.commandLine).substr(0, 2);
  parsed.options.batchMode = text::EqualsNoCase(head, "-b") || text::EqualsNoCase(head, "/b");
  return parsed;
}

}  // namespace drossgate::setup
