#pragma once
// The setup tool's main window: identity, priority, four rule rows, the mailbox lists and the
// error log. Loading learns the machine, the store domain and the global catalog and opens the
// directory connection; it raises PlatformError when the directory cannot be reached. Later
// directory failures end the program through failed(); store and catalog failures only add
// entries to the error log.

#include <QWidget>

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include <QStringList>

#include "ComPlus.h"
#include "CommandLine.h"
#include "Globals.h"
#include "Mailboxes.h"
#include "RunLock.h"
#include "Secret.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStatusBar;

namespace drossgate::setup {

class RuleRows;

inline constexpr const char* kWindowCaption = "Drossgate setup";

// The actions of a rule row, by their place in its action list.
enum RowAction : int { kActionMove = 0, kActionDelete = 1, kActionForward = 2, kActionSetScl = 3 };

// The texts of an action list, in action order; row 0's last one ends in a blank.
QStringList ActionListItems(int row);
// A set-SCL target (already trimmed): one or two characters, a whole number from -1 to 9.
// A priority text: digits (blanks around them allowed) whose value is at most 65535.
bool IsAcceptablePriority(std::string_view text);

struct RuleRow {
  QLineEdit* txtSpamTag = nullptr;
  QPushButton* btnTest = nullptr;
  QComboBox* List1 = nullptr;  // shows exactly one action: the row's action
  QLineEdit* txtSpamFolder = nullptr;
  QPushButton* cmdBrowse = nullptr;
};

struct InstallFormControls {
  QLabel* Label1 = nullptr;   // "Target:"
  QLabel* Label2 = nullptr;   // "Password:"
  QLabel* Label3 = nullptr;   // "Identity:"
  QLabel* Label5 = nullptr;   // "Action:"
  QLabel* Label6 = nullptr;   // condition column
  QLabel* Label8 = nullptr;   // target example
  QLabel* Label9 = nullptr;   // condition examples
  QLabel* Label10 = nullptr;  // "Event sink priority:"
  QLineEdit* txtIdent = nullptr;
  QLineEdit* txtPwd = nullptr;
  QLineEdit* txtPriority = nullptr;
  QCheckBox* Check1 = nullptr;  // install
  QCheckBox* Check2 = nullptr;  // register store-wide
  QCheckBox* Check3 = nullptr;  // register per-mailbox
  QCheckBox* Check4 = nullptr;  // unregister per-mailbox
  QCheckBox* Check5 = nullptr;  // unregister store-wide
  QCheckBox* Check6 = nullptr;  // uninstall
  QCheckBox* Check7 = nullptr;  // show disabled
  // Shown while the sink is installed: opens its rule rows and priority, which CHANGE then
  // writes into it.
  QCheckBox* chkChangeRules = nullptr;
  std::array<RuleRow, 4> rows;
  QListWidget* SysMbxInstList = nullptr;
  QListWidget* MbxInstList = nullptr;
  QListWidget* MbxUninstList = nullptr;
  QListWidget* SysMbxUninstList = nullptr;
  QPushButton* Command1 = nullptr;  // "CHANGE"
  QPushButton* Command2 = nullptr;  // "Exit"
  QPushButton* Command3 = nullptr;  // "Clear Error Log"
  QPushButton* Command4 = nullptr;  // select all, SysMbxInstList
  QPushButton* Command5 = nullptr;  // select all, MbxInstList
  QPushButton* Command6 = nullptr;  // select all, MbxUninstList
  QPushButton* Command7 = nullptr;  // select all, SysMbxUninstList
  QPlainTextEdit* txtErr = nullptr;
  QProgressBar* Picture1 = nullptr;
  QLineEdit* StoreWideURLtxt = nullptr;
  QStatusBar* StatusBar1 = nullptr;  // says when the window waits for another setup run
};

struct InstallFormState {
  bool blnBatchMode = false;
  std::string FolderURL;      // http form of the mailbox container
  std::string FileFolderURL;  // file form of the mailbox container
  std::string FolderPath;     // the container in the store's file-system view, or empty
  std::string ComputerName;   // fully qualified, lower case
  std::string ShortComputerName;
  std::string DomainDNSName;
  std::string ClusterName;
  bool blnNotFirstTime = false;
  bool blnIsClusterNode = false;
  bool priorityChanging = false;  // set while the priority text is being replaced
  bool probeDisabled = false;     // disabled accounts are probed too (the unattended mode)
};

class InstallForm : public QWidget, public ErrorLog {
  Q_OBJECT

 public:
  explicit InstallForm(SetupOptions options, QWidget* parent = nullptr);
  ~InstallForm() override;

  // Learns computer, domain, store domain and global catalog and opens the directory
  // connection. Raises PlatformError when the directory or the global catalog cannot be reached.
  void Form_Load();
  // First activation: initialise the window, then run batch mode if asked. Later calls do
  // nothing. A directory failure ends the program (failed()).
  void Form_Activate();
  // Reads the installed configuration back, sets the controls' states and refills the lists.
  // A damaged installation is named in the error log and treated as one to install anew (or
  // to remove). Raises PlatformError when a directory query fails.
  void InitialiseWindow();
  // What the last initialisation found in the catalog.
  const Installation& installation() const { return installation_; }
  void RunBatchMode();

  // The run behind "CHANGE": install, unregister, register, uninstall, then re-initialise.
  // A validation message ends it before any change (RunRefused() then tells so). A call while a
  // run or a refill of the lists is under way does nothing.
  void Command1_Click();
  bool RunRefused() const { return runRefused_; }
  // What the last run's own work wrote into the error log, without the refill after it.
  const QString& RunLogText() const { return runLogText_; }
  // "Clear Error Log".
  void Command3_Click();
  // Selects or deselects every entry of list, alternating the button's caption.
  static void ToggleListSelection(QPushButton& button, QListWidget& list);

  // Refills the mailbox lists (MailboxEnumeration); a request while a refill runs makes the
  // running one repeat.
  void RefillMailboxLists();
  bool RefillRunning() const { return refilling_; }
  // The window is to close: a running enumeration stops early.
  bool ClosePending() const { return closeRequested_; }

  QString ErrorLogText() const override { return errorLogText_; }
  void SetErrorLogText(const QString& text) override;

  // The row whose control has the focus, or -1.
  int ActiveRow() const;
  // Sets a row's target box locked (read-only, grey) or open (window-text colour).
  void SetTargetLocked(int row, bool locked);

  const InstallFormControls& ui() const { return ui_; }
  InstallFormState& state() { return state_; }
  const InstallFormState& state() const { return state_; }
  Globals& globals() { return globals_; }
  const Globals& globals() const { return globals_; }
  // The failure that ended the program, if one did.
  const std::optional<platform::PlatformError>& fatalError() const { return fatalError_; }

 signals:
  // A failure the program cannot go on after has been reported, or batch mode ends with a
  // refused run (1), with entries in its error log (2) or without a run because the
  // installation is damaged (3); the program should end so.
  void failed(int exitStatus);

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Closes the directory and store connections if open; a failure is not reported.
  void CloseConnections();
  // Takes the run lock of this platform root, waiting (and saying so in the status bar) while
  // another setup run holds it; the window stays responsive meanwhile. Empty when the window
  // is closed during the wait.
  // True when the run may go on despite these warnings about the rules (asked in the window;
  // in batch and unattended mode printed, and refused only with --strict).
  bool AcceptRuleWarnings(const std::vector<std::string>& warnings);
  std::optional<RunLock> WaitForRunLock(RunLock::Mode mode);
  void BuildControls();
  void BuildLayout();
  void SetTabOrder();
  void ConnectHandlers();

  void txtSpamTag_Change(int row);
  void List1_Click(int row);
  void txtSpamFolder_LostFocus(int row);
  void txtPriority_Change();
  void RegistrationCheck_Click(QCheckBox* box, QListWidget* list, const char* message);
  void Check7_Click();
  void btnTest_Click(int row);
  void cmdBrowse_Click(int row);
  // The installation, registration and uninstallation work of a run; false when a validation
  // message refused it.
  bool RunInstallationSteps();
  // The rule rows and the priority as a constructor string (the rows' targets show their
  // clean-up afterwards); nullopt when a row is refused or the warnings about the rules are not
  // accepted, the message shown.
  std::optional<std::string> RulesConstructorString();
  // Before an uninstallation: registrations that would be left behind are removed in the same
  // run if the person says so; without a person, a warning says what is left.
  void OfferToRemoveRegistrationsLeftBehind();
  // The rule rows, the priority and their labels editable, each row as its action allows; or
  // all locked, showing what they hold.
  void OpenRuleRows();
  void LockRuleRows();
  // The labels of the rule rows and the priority.
  std::array<QLabel*, 6> RuleLabels() const;
  void chkChangeRules_Click();

  // This server as the mailbox enumeration and the run see it.
  ServerFacts Server() const;
  // Empties the lists, enumerates the mailboxes with the progress bar and puts the entries in.
  void FillMailboxLists();
  // The rule rows and the priority as records, and back.
  RuleRows ReadRuleRows() const;
  void ShowRuleRows(const RuleRows& grid);
  // Reads the installed configuration and shows its rules in the rows.
  InstalledConfiguration ShowInstalledConfiguration();

  // Runs a handler; a platform failure it raises is reported and ends the program.
  template <typename Step>
  void Guarded(Step&& step);
  void Fail(const platform::PlatformError& error);
  void AfterBusy();

  SetupOptions options_;
  InstallFormControls ui_;
  InstallFormState state_;
  Globals globals_;
  QString errorLogText_;
  QString runLogText_;
  std::optional<platform::PlatformError> fatalError_;
  Installation installation_;
  std::optional<NotDumpable> passwordHeld_;  // while txtPwd holds a password

  bool refilling_ = false;
  bool refillPending_ = false;
  bool runUnderWay_ = false;
  bool runRefused_ = false;
  bool closeRequested_ = false;
  bool activationQueued_ = false;
  bool waitingForRunLock_ = false;
  int guardDepth_ = 0;
};

template <typename Step>
void InstallForm::Guarded(Step&& step) {
  ++guardDepth_;
  try {
    step();
  } catch (const platform::PlatformError& error) {
    --guardDepth_;
    Fail(error);
    if (guardDepth_ == 0) AfterBusy();
    return;
  } catch (const std::exception& error) {
    --guardDepth_;
    Fail(platform::PlatformError(platform::errors::kFail, error.what()));
    if (guardDepth_ == 0) AfterBusy();
    return;
  }
  --guardDepth_;
  if (guardDepth_ == 0) AfterBusy();
}

}  // namespace drossgate::setup
