#include "Unattended.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ComPlus.h"
#include "Globals.h"
#include "InstallForm.h"
#include "Items.h"
#include "RunLock.h"
#include "Secret.h"
#include "rules.h"
#include "text.h"

namespace drossgate::setup {

namespace {

constexpr const char* kProgram = "DrossgateSetup";

bool AnyChange(const UnattendedOptions& o) {
  return o.install || o.reconfigure || o.identity || o.passwordFile || o.priority ||
         !o.rules.empty() || !o.registerMailboxes.empty() || o.registerAll || o.registerStoreWide ||
         !o.unregisterMailboxes.empty() || o.unregisterAll || o.unregisterStoreWide || o.uninstall;
}

// What the options ask for, checked before anything is opened; empty when it can be done.
std::string CheckOptions(const UnattendedOptions& o, bool batchMode) {
  if (batchMode) return "-b (batch mode) cannot be combined with the unattended options";
  if (o.passwordOnCommandLine)
    return "--password is not accepted, as other users could read it on the command line: "
           "give --password-file FILE, or --password-file - to read it from standard input";
  if (o.json && !o.list) return "--json needs --list";
  if (o.list && AnyChange(o)) return "--list cannot be combined with other options";
  if (!o.install && (o.identity || o.passwordFile))
    return "--identity and --password-file need --install (--reconfigure keeps them)";
  if (!o.install && !o.reconfigure && !o.rules.empty())
    return "--rule needs --install or --reconfigure";
  if (o.install && o.uninstall) return "--install and --uninstall cannot be combined";
  if (o.reconfigure && (o.install || o.uninstall))
    return "--reconfigure cannot be combined with --install or --uninstall";
  if (o.reconfigure && o.rules.empty() && !o.priority)
    return "--reconfigure needs --rule or --priority, the rules or the priority to change";
  if (o.includeDisabled && o.registerMailboxes.empty() && !o.registerAll)
    return "--include-disabled needs --register or --register-all";
  if (std::string message = CheckRuleOptions(o.rules); !message.empty()) return message;
  if (!o.list && o.registerMailboxes.empty() && !o.registerAll && !o.registerStoreWide &&
      o.unregisterMailboxes.empty() && !o.unregisterAll && !o.unregisterStoreWide && !o.install &&
      !o.reconfigure && !o.uninstall)
    return "nothing to do: give --install, --reconfigure, --register, --register-all, "
           "--register-store-wide, --unregister, --unregister-all, --unregister-store-wide, "
           "--uninstall or --list";
  return {};
}

// The first line of the file (or of in for "-"), without its line end. Read without a
// stream buffer of the file's and into room reserved beforehand, so that no copy is left
// behind in freed memory.
std::string ReadPassword(const std::string& file, std::istream& in, std::string& password) {
  password.reserve(4096);
  if (file == "-") {
    std::getline(in, password);
  } else {
    std::ifstream stream;
    stream.rdbuf()->pubsetbuf(nullptr, 0);
    stream.open(file, std::ios::binary);
    if (!stream) return "cannot read the password file " + file + ": " + std::strerror(errno);
    std::getline(stream, password);
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return {};
}

bool Names(const std::string& entry, const std::string& mailbox) {
  const EntryParts parts = ParseMailboxEntry(entry);
  return !mailbox.empty() &&
         (text::EqualsNoCase(parts.alias, mailbox) || text::EqualsNoCase(parts.address, mailbox));
}

bool ListNames(const QListWidget& list, const std::string& mailbox) {
  for (int i = 0; i < list.count(); ++i)
    if (Names(list.item(i)->text().toStdString(), mailbox)) return true;
  return false;
}

using MailboxStatuses = std::unordered_map<std::string, MailboxStatus>;

MailboxStatus StatusOf(const MailboxStatuses& statuses, const std::string& entry) {
  const auto found = statuses.find(entry);
  return found == statuses.end() ? MailboxStatus{} : found->second;
}

// Why the mailbox of that name in list cannot be reached, or empty when it can.
std::string Unreachable(const QListWidget& list, const std::string& mailbox,
                        const MailboxStatuses& statuses) {
  for (int i = 0; i < list.count(); ++i) {
    const std::string entry = list.item(i)->text().toStdString();
    const MailboxStatus status = StatusOf(statuses, entry);
    if (Names(entry, mailbox) && status.state == MailboxStatus::kUnreachable)
      return WithoutLogTime(status.failure);
  }
  return {};
}

// The lines that tell of the unreachable mailboxes in list (disabled accounts are not looked
// for: their mailboxes may well be gone).
std::string UnreachableReport(const QListWidget& list, const MailboxStatuses& statuses) {
  std::string report;
  for (int i = 0; i < list.count(); ++i) {
    const std::string entry = list.item(i)->text().toStdString();
    const MailboxStatus status = StatusOf(statuses, entry);
    if (status.state == MailboxStatus::kUnreachable && !IsDisabledEntry(entry))
      report += "unreachable: " + entry + ": " + WithoutLogTime(status.failure) + "\n";
  }
  return report;
}

// One way of registering or unregistering: the mailboxes named and "all" select entries of
// the list; then the box is checked, as a person would check it after selecting.
struct Selection {
  const std::vector<std::string>& mailboxes;
  bool all;
  QListWidget* list;
  QPushButton* selectAll;
  QCheckBox* box;
  const QListWidget* otherList;  // where a named mailbox is when it is in the wrong list
  const char* inOtherList;       // what that means
  bool skipDisabled = false;     // disabled accounts are not taken unless named and allowed
};

std::string Select(const Selection& s, const MailboxStatuses& statuses) {
  for (const std::string& mailbox : s.mailboxes) {
    bool found = false;
    for (int i = 0; i < s.list->count(); ++i) {
      const std::string entry = s.list->item(i)->text().toStdString();
      if (!Names(entry, mailbox)) continue;
      if (s.skipDisabled && IsDisabledEntry(entry))
        return "'" + mailbox + "' is a disabled account; give --include-disabled to register it";
      s.list->item(i)->setSelected(true);
      found = true;
    }
    if (found) continue;
    if (const std::string failure = Unreachable(*s.otherList, mailbox, statuses); !failure.empty())
      return "'" + mailbox +
             "' cannot be reached, so whether it is registered is unknown: " + failure;
    if (ListNames(*s.otherList, mailbox)) return "'" + mailbox + "' " + s.inOtherList;
    return "no mailbox '" + mailbox + "' in the lists of this server's mailboxes";
  }
  if (s.all && s.skipDisabled) {
    for (int i = 0; i < s.list->count(); ++i)
      if (!IsDisabledEntry(s.list->item(i)->text().toStdString()))
        s.list->item(i)->setSelected(true);
  } else if (s.all && s.list->count() > 0) {
    // "Select All" on an empty list selects nothing, and the box cannot be checked then.
    if (s.selectAll->text().compare(QStringLiteral("Select all"), Qt::CaseInsensitive) == 0)
      InstallForm::ToggleListSelection(*s.selectAll, *s.list);
    else
      s.list->selectAll();
  }
  if (!s.list->selectedItems().isEmpty()) s.box->setChecked(true);
  return {};
}

std::string FillRules(InstallForm& form, const std::vector<RuleOption>& rules) {
  const InstallFormControls& ui = form.ui();
  for (size_t i = 0; i < ui.rows.size(); ++i) {
    const RuleRow& row = ui.rows[i];
    // Clearing the condition resets the row: "move to folder", no target.
    row.txtSpamTag->clear();
    if (i >= rules.size()) continue;
    const RuleOption& rule = rules[i];
    // The window's action list is in the order of the action kinds.
    const auto action = static_cast<RowAction>(*RuleActionKind(rule.action));
    row.txtSpamTag->setText(QString::fromStdString(rule.condition));
    row.List1->setCurrentIndex(action);
    if (action != kActionDelete) row.txtSpamFolder->setText(QString::fromStdString(rule.target));
    // What leaving the target box checks.
    if (action == kActionSetScl && !common::rules::IsValidScl(text::Trim(rule.target)))
      return std::string(common::rules::kSclRangeMessage) + " (rule " + std::to_string(i + 1) + ")";
  }
  return {};
}

// Fills the window's fields and checks its boxes; a message when the window would not let a
// person do that.
std::string Fill(InstallForm& form, const UnattendedOptions& o, const std::string& password) {
  const InstallFormControls& ui = form.ui();
  if (o.install) {
    // A damaged installation is installed over: the run removes the damage first.
    if (form.installation().state == Installation::kInstalled)
      return "Drossgate is installed already; it can be installed anew after --uninstall";
    if (!ui.Check1->isEnabled())
      return "the sink library " + SinkLibraryPath().string() +
             " is missing, so the sink cannot be installed; run the program in the folder that "
             "holds it";
    ui.Check1->setChecked(true);
  } else {
    ui.Check1->setChecked(false);
  }
  if (o.reconfigure) {
    if (form.installation().state == Installation::kDamaged) return DamageText(form.installation());
    if (form.installation().state != Installation::kInstalled)
      return "Drossgate is not installed; --install installs it with its rules";
    // As a person opens the installed sink's rows.
    ui.chkChangeRules->click();
  }
  if (o.identity) ui.txtIdent->setText(QString::fromStdString(*o.identity));
  if (o.passwordFile) ui.txtPwd->setText(QString::fromStdString(password));
  if (o.priority) {
    if (!ui.txtPriority->isEnabled())
      return "the event sink priority is that of the installed application; "
             "--reconfigure --priority N changes it";
    ui.txtPriority->setText(QString::fromStdString(*o.priority));
    // The field keeps its last valid value when given another.
    if (ui.txtPriority->text().toStdString() != *o.priority)
      return "the event sink priority must be a whole number from 0 (highest) to 65535 (lowest)";
  }
  if (!o.rules.empty()) {
    if (const std::string message = FillRules(form, o.rules); !message.empty()) return message;
  }

  static const std::vector<std::string> kNone;
  const Selection selections[] = {
      {kNone, o.unregisterStoreWide, ui.SysMbxUninstList, ui.Command7, ui.Check5, ui.SysMbxInstList,
       "has no store-wide registration"},
      {o.unregisterMailboxes, o.unregisterAll, ui.MbxUninstList, ui.Command6, ui.Check4,
       ui.MbxInstList, "is not registered"},
      {kNone, o.registerStoreWide, ui.SysMbxInstList, ui.Command4, ui.Check2, ui.SysMbxUninstList,
       "is registered store-wide already"},
      {o.registerMailboxes, o.registerAll, ui.MbxInstList, ui.Command5, ui.Check3, ui.MbxUninstList,
       "is registered already", !o.includeDisabled},
  };
  for (const Selection& selection : selections)
    if (const std::string message = Select(selection, form.globals().MailboxStatuses);
        !message.empty())
      return message;

  if (o.uninstall) {
    if (!ui.Check6->isEnabled()) return "Drossgate is not installed";
    ui.Check6->setChecked(true);
  }
  return {};
}

void PrintLists(const InstallForm& form, bool json, std::ostream& out) {
  const InstallFormControls& ui = form.ui();
  const Installation& installation = form.installation();
  const MailboxStatuses& statuses = form.globals().MailboxStatuses;
  const std::pair<const char*, const QListWidget*> lists[] = {
      {"SysMbxInstList", ui.SysMbxInstList},
      {"MbxInstList", ui.MbxInstList},
      {"MbxUninstList", ui.MbxUninstList},
      {"SysMbxUninstList", ui.SysMbxUninstList}};
  if (json) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object["installation"]["state"] = StateName(installation.state);
    if (!installation.reason.empty()) object["installation"]["reason"] = installation.reason;
    for (const auto& [name, list] : lists) {
      nlohmann::ordered_json& entries = object[name] = nlohmann::ordered_json::array();
      for (int i = 0; i < list->count(); ++i) {
        const std::string entry = list->item(i)->text().toStdString();
        const EntryParts parts = ParseMailboxEntry(entry);
        const MailboxStatus status = StatusOf(statuses, entry);
        nlohmann::ordered_json mailbox = {{"entry", entry},
                                          {"alias", parts.alias},
                                          {"address", parts.address},
                                          {"state", StateName(status.state)}};
        if (status.state == MailboxStatus::kUnreachable)
          mailbox["reason"] = WithoutLogTime(status.failure);
        entries.push_back(std::move(mailbox));
      }
    }
    out << object.dump() << std::endl;
    return;
  }
  out << "installation\t" << StateName(installation.state);
  if (!installation.reason.empty()) out << '\t' << installation.reason;
  out << '\n';
  for (const auto& [name, list] : lists)
    for (int i = 0; i < list->count(); ++i) {
      const std::string entry = list->item(i)->text().toStdString();
      const MailboxStatus status = StatusOf(statuses, entry);
      out << name << '\t' << entry << '\t' << StateName(status.state);
      if (status.state == MailboxStatus::kUnreachable)
        out << '\t' << WithoutLogTime(status.failure);
      out << '\n';
    }
  out.flush();
}

// Messages go to stderr while the run lasts, as no window may wait for a person.
class MessagesOnStderr {
 public:
  MessagesOnStderr() : before_(MessagesToStderr()) { SetMessagesToStderr(true); }
  ~MessagesOnStderr() { SetMessagesToStderr(before_); }
  MessagesOnStderr(const MessagesOnStderr&) = delete;
  MessagesOnStderr& operator=(const MessagesOnStderr&) = delete;

 private:
  bool before_;
};

}  // namespace

std::optional<common::rules::ActionKind> RuleActionKind(const std::string& name) {
  using common::rules::ActionKind;
  static constexpr std::pair<const char*, ActionKind> kNames[] = {{"move", ActionKind::kMove},
                                                                  {"delete", ActionKind::kDelete},
                                                                  {"forward", ActionKind::kForward},
                                                                  {"scl", ActionKind::kSetScl}};
  for (const auto& [text, kind] : kNames)
    if (name == text) return kind;
  return std::nullopt;
}

std::string CheckRuleOptions(const std::vector<RuleOption>& rules) {
  if (rules.size() > 4) return "at most four --rule options can be given, one per rule row";
  for (const RuleOption& rule : rules)
    if (!RuleActionKind(rule.action))
      return "--rule: unknown action '" + rule.action + "' (move, delete, forward or scl)";
  return {};
}

std::vector<common::rules::Row> CommandLineRows(const std::vector<RuleOption>& rules) {
  std::vector<common::rules::Row> rows;
  for (const RuleOption& rule : rules) {
    const common::rules::ActionKind action = *RuleActionKind(rule.action);
    // The window's delete row has no target box.
    rows.push_back({rule.condition, action,
                    action == common::rules::ActionKind::kDelete ? std::string() : rule.target});
  }
  return rows;
}

bool AnyUnattendedOptionBesideRules(UnattendedOptions o) {
  o.rules.clear();
  return AnyChange(o) || o.list || o.includeDisabled || o.passwordOnCommandLine;
}

int RunUnattended(const SetupOptions& options, std::istream& in, std::ostream& out,
                  std::ostream& err) {
  const UnattendedOptions& o = options.unattended;
  auto fail = [&](int status, const std::string& message) {
    err << kProgram << ": " << message << std::endl;
    return status;
  };
  if (const std::string message = CheckOptions(o, options.batchMode); !message.empty())
    return fail(kExitUsage, message + "\nTry 'DrossgateSetup --help'.");
  // Before the password is read, and until the window that holds it is gone.
  std::optional<NotDumpable> notDumpable;
  if (o.passwordFile) notDumpable.emplace();
  std::string password;
  const WipedAtEnd wipedAtEnd(password);
  if (o.passwordFile) {
    if (const std::string message = ReadPassword(*o.passwordFile, in, password); !message.empty())
      return fail(kExitRefused, message);
  }

  SetupOptions formOptions;
  formOptions.strict = options.strict;  // the window's own run decides on the warnings
  InstallForm form(formOptions);
  std::optional<RunLock> lock;
  try {
    form.Form_Load();
    // Held from the first look at the installed state to the end of the run, so that a second
    // run sees what the first one did.
    bool announced = false;
    lock = RunLock::Take(o.list ? RunLock::Mode::kShared : RunLock::Mode::kExclusive, [&] {
      if (!announced)
        err << kProgram << ": another setup run is working on this server; waiting for it to end"
            << std::endl;
      announced = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      return true;
    });
  } catch (const platform::PlatformError& error) {
    return fail(kExitRefused, FatalErrorText(error).toStdString());
  } catch (const std::exception& error) {
    return fail(kExitRefused, error.what());
  }
  const MessagesOnStderr messagesOnStderr;
  // A disabled account registered once must be found to be removed.
  form.state().probeDisabled = true;
  form.Form_Activate();
  if (form.fatalError()) return kExitRefused;
  const InstallFormControls& ui = form.ui();
  const MailboxStatuses& statuses = form.globals().MailboxStatuses;
  auto damaged = [&] { return form.installation().state == Installation::kDamaged; };
  if (o.list) {
    PrintLists(form, o.json, out);
    // Every mailbox is the listing's concern.
    std::string report;
    for (const QListWidget* list : {ui.SysMbxInstList, ui.MbxInstList})
      report += UnreachableReport(*list, statuses);
    err << report << std::flush;
    if (damaged()) return fail(kExitDamaged, DamageText(form.installation()));
    return report.empty() ? kExitDone : kExitLogged;
  }
  const std::string message = Fill(form, o, password);
  Wipe(password);  // the password box has it now
  if (!message.empty()) return fail(kExitRefused, message);

  form.Command1_Click();
  if (form.fatalError() || form.RunRefused()) return kExitRefused;
  // What the run itself logged; the refill after it logs every mailbox it cannot reach, which
  // concerns this run only where it was to work on every mailbox of a kind and could not.
  std::string report = QString(form.RunLogText())
                           .replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
                           .toStdString();
  if (o.unregisterAll) report += UnreachableReport(*ui.MbxInstList, statuses);
  if (o.unregisterStoreWide) report += UnreachableReport(*ui.SysMbxInstList, statuses);
  err << report << std::flush;
  if (damaged()) return fail(kExitDamaged, DamageText(form.installation()));
  return report.empty() ? kExitDone : kExitLogged;
}

}  // namespace drossgate::setup
