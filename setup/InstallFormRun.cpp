#include "InstallForm.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QStatusBar>
#include <QTimer>

#include <filesystem>
#include <iostream>

#include "Cluster.h"
#include "Installer.h"
#include "directory/directory.h"
#include "store/store.h"
#include "text.h"

// The window's loading, initialisation, batch mode, the run behind "CHANGE" and its ending.

namespace drossgate::setup {

namespace dir = platform::directory;
namespace store = platform::store;

namespace {

constexpr const char* kBatchSuffix = " - batch mode";
constexpr const char* kStoreView = "\\\\.\\backofficestorage\\";
constexpr const char* kWaitingMessage = "Waiting for another setup run on this server to end...";
constexpr int kWaitSliceMs = 100;

// The entries of list in list order, all or only the selected ones.
std::vector<std::string> ListEntries(const QListWidget& list, bool selectedOnly) {
  std::vector<std::string> entries;
  for (int i = 0; i < list.count(); ++i)
    if (!selectedOnly || list.item(i)->isSelected())
      entries.push_back(list.item(i)->text().toStdString());
  return entries;
}

}  // namespace

void InstallForm::CloseConnections() {
  platform::SkipOnError([&] {
    if (globals_.DirectoryConnection && globals_.DirectoryConnection->IsOpen())
      globals_.DirectoryConnection->Close();
  });
  platform::SkipOnError([&] {
    if (globals_.StoreConnection && globals_.StoreConnection->IsOpen())
      globals_.StoreConnection->Close();
  });
}

// --- Loading and initialisation -----------------------------------------------------------

void InstallForm::Form_Load() {
  state_.blnBatchMode = options_.batchMode;
  SetMessagesToStderr(state_.blnBatchMode);

  QFont barFont = ui_.Picture1->font();
  barFont.setBold(true);
  ui_.Picture1->setFont(barFont);
  QPalette barPalette = ui_.Picture1->palette();
  barPalette.setColor(QPalette::Base, Qt::white);
  barPalette.setColor(QPalette::Window, Qt::white);
  barPalette.setColor(QPalette::Highlight, QColor(0, 0, 255));
  ui_.Picture1->setPalette(barPalette);
  ui_.Picture1->setAlignment(Qt::AlignCenter);

  setWindowTitle(QString::fromLatin1(kWindowCaption) +
                 (state_.blnBatchMode ? QString::fromLatin1(kBatchSuffix) : QString()));

  state_.ShortComputerName = text::ToLower(dir::WinNTSystemInfo().ComputerName());
  state_.DomainDNSName = text::ToLower(dir::ADSystemInfo().DomainDNSName());
  state_.ComputerName = state_.ShortComputerName + "." + state_.DomainDNSName;

  state_.blnIsClusterNode = IsClusterNode();
  state_.ClusterName.clear();

  auto setStoreDomain = [&](const std::string& domain) {
    state_.FileFolderURL = "file://./backofficestorage/" + domain + "/mbx";
    state_.FolderURL = "http://" + state_.ComputerName + "/exadmin/" + domain + "/mbx";
  };
  setStoreDomain(state_.DomainDNSName);
  state_.FolderPath.clear();
  const std::vector<std::string> domains = store::ListFileSystemView(kStoreView);
  if (!domains.empty()) {
    setStoreDomain(domains.front());
    state_.FolderPath = std::string(kStoreView) + domains.front() + "\\mbx";
  }

  globals_.GlobalCatalogPath = "GC://" + dir::BindObject("GC://RootDSE")->Get("dnshostname");

  globals_.DirectoryConnection = dir::CreateConnection();
  globals_.DirectoryConnection->SetProvider("adsDSOobject");
  globals_.DirectoryConnection->Open("Active Directory Provider", "", "");

  globals_.StoreConnection = store::CreateConnection();
  globals_.StoreConnection->SetProvider(store::kProvider);
}

void InstallForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!state_.blnNotFirstTime && !activationQueued_) {
    activationQueued_ = true;
    // After the first paint, so the window is on screen while its lists fill.
    QTimer::singleShot(0, this, [this] { Form_Activate(); });
  }
}

void InstallForm::Form_Activate() {
  if (state_.blnNotFirstTime) return;
  state_.blnNotFirstTime = true;
  Guarded([&] {
    // Batch mode decides what to renew from what it reads, so it holds the lock throughout.
    const std::optional<RunLock> lock =
        WaitForRunLock(state_.blnBatchMode ? RunLock::Mode::kExclusive : RunLock::Mode::kShared);
    if (!lock) return;
    InitialiseWindow();
    if (state_.blnBatchMode && !closeRequested_) RunBatchMode();
  });
}

void InstallForm::InitialiseWindow() {
  InstallFormControls& ui = ui_;
  globals_.InitDone = false;

  installation_ = CheckInstallation(kApplicationName);
  InstalledConfiguration configuration;
  if (!installation_.catalogUnreadable) configuration = ShowInstalledConfiguration();
  bool installed = configuration.found;
  const bool damaged = installation_.state == Installation::kDamaged;
  if (damaged) {
    AppendErrorLog(*this, kApplicationName,
                   platform::PlatformError(platform::errors::kCorrupt, DamageText(installation_)));
    // Offered for a new installation, which removes the damage first.
    installed = false;
  }
  std::error_code error;
  const bool libraryPresent = std::filesystem::exists(SinkLibraryPath(), error);

  auto setIdentityLabelsEnabled = [&](bool enabled) {
    ui.Label2->setEnabled(enabled);
    ui.Label3->setEnabled(enabled);
  };
  ui.chkChangeRules->setChecked(false);
  ui.chkChangeRules->setVisible(installed);

  if (installed) {
    ui.Check1->setChecked(false);
    ui.Check1->setEnabled(false);
    ui.txtIdent->setEnabled(false);
    ui.txtIdent->setText(QString::fromStdString(configuration.identity));
    ui.txtPwd->setEnabled(false);
    ui.txtPwd->setVisible(false);
    ui.Label2->setText(QStringLiteral("Password: ********"));
    LockRuleRows();
    setIdentityLabelsEnabled(false);
    ui.Check6->setChecked(false);
    ui.Check6->setEnabled(true);
  } else if (!libraryPresent) {
    const QString entry = QLatin1Char('[') + LogDateTime() + QStringLiteral("] File ") +
                          QString::fromStdString(SinkLibraryPath().string()) +
                          QStringLiteral(" not found. COM+ object installation is impossible.") +
                          QStringLiteral("\r\n\r\n");
    SetErrorLogText(entry + ErrorLogText());
    ui.Check1->setChecked(false);
    ui.Check1->setEnabled(false);
    for (QWidget* widget : {static_cast<QWidget*>(ui.Check2), static_cast<QWidget*>(ui.Check3),
                            static_cast<QWidget*>(ui.txtIdent), static_cast<QWidget*>(ui.txtPwd)})
      widget->setEnabled(false);
    LockRuleRows();
    setIdentityLabelsEnabled(false);
    ui.Check6->setChecked(false);
    ui.Check6->setEnabled(false);
  } else {
    ui.Check1->setChecked(true);
    ui.Check1->setEnabled(true);
    FillIdentityField(*this);
    ui.txtIdent->setEnabled(true);
    ui.txtIdent->setVisible(true);
    ui.txtPwd->clear();
    ui.txtPwd->setEnabled(true);
    ui.txtPwd->setVisible(true);
    ui.Label2->setText(QStringLiteral("Password:"));
    OpenRuleRows();
    // A window that showed an installed application had these disabled.
    setIdentityLabelsEnabled(true);
    ui.Label3->setVisible(true);
    ui.Label2->setVisible(true);
    ui.Check6->setChecked(false);
    ui.Check6->setEnabled(false);
  }

  // The damage can also be removed alone.
  if (damaged) ui.Check6->setEnabled(true);

  if (state_.blnIsClusterNode) GetClusterName(*this);
  RefillMailboxLists();

  const bool logShown = !errorLogText_.isEmpty();
  ui.txtErr->setVisible(logShown);
  ui.Command3->setVisible(logShown);
  globals_.InitDone = true;
}

void InstallForm::RunBatchMode() {
  InstallFormControls& ui = ui_;
  if (installation_.state == Installation::kDamaged) {
    // Renewed registrations would call a sink that cannot filter; whoever scheduled the renewal
    // must learn that instead, and nothing is changed.
    std::cerr << QString(errorLogText_)
                     .replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
                     .toStdString();
    emit failed(kExitDamaged);
    close();
    return;
  }
  ui.Check2->setChecked(false);
  ui.Check3->setChecked(false);
  if (ui.SysMbxUninstList->count() > 0) {
    ui.SysMbxUninstList->selectAll();
    ui.Check5->setChecked(true);
  }
  if (ui.MbxUninstList->count() > 0) {
    ui.MbxUninstList->selectAll();
    ui.Check4->setChecked(true);
  }
  if (ui.Check4->isChecked() || ui.Check5->isChecked()) Command1_Click();
  // Whoever scheduled the renewal must learn that a mailbox may have been left unregistered.
  int status = kExitDone;
  if (runRefused_) {
    status = kExitRefused;
  } else if (!errorLogText_.isEmpty()) {
    std::cerr << QString(errorLogText_)
                     .replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
                     .toStdString();
    status = kExitLogged;
  }
  if (status != kExitDone) emit failed(status);
  close();
}

// --- The run and the log ------------------------------------------------------------------

void InstallForm::Command1_Click() {
  // One run at a time, on whole lists: a click that arrives while a run or a refill is under way
  // (a double click's second one, or a click while the lists fill) is dropped, not held for
  // later, where it would find other lists and an emptied password box.
  if (runUnderWay_ || refilling_ || waitingForRunLock_) return;
  runUnderWay_ = true;
  Guarded([&] {
    const std::optional<RunLock> lock = WaitForRunLock(RunLock::Mode::kExclusive);
    if (!lock) return;
    Hourglass hourglass;
    runRefused_ = false;
    runLogText_.clear();
    SetErrorLogText(QString());
    ui_.txtErr->setVisible(false);
    ui_.Command3->setVisible(false);
    if (!RunInstallationSteps()) {
      runRefused_ = true;
      return;
    }
    runLogText_ = errorLogText_;
    InitialiseWindow();
  });
  // Clicks the window system queued while the run worked without yielding arrive now, and
  // find it still under way.
  QCoreApplication::processEvents();
  runUnderWay_ = false;
}

void InstallForm::OfferToRemoveRegistrationsLeftBehind() {
  const InstallFormControls& ui = ui_;
  auto leftIn = [](const QListWidget& list, const QCheckBox& unregister) {
    return list.count() - (unregister.isChecked() ? list.selectedItems().size() : 0);
  };
  const qsizetype storeWide = leftIn(*ui.SysMbxUninstList, *ui.Check5);
  const qsizetype all = storeWide + leftIn(*ui.MbxUninstList, *ui.Check4);
  if (all == 0) return;
  const QString left =
      (all == 1 ? QStringLiteral("1 registration") : QString::number(all) + " registrations") +
      QStringLiteral(" (%1 of them store-wide)").arg(storeWide);
  if (MessagesToStderr()) {
    ShowMessage(this, QMessageBox::Warning, QStringLiteral("warning"),
                QStringLiteral("uninstalling leaves ") + left +
                    QStringLiteral(" behind, naming a component that will no longer exist; "
                                   "--unregister-all and --unregister-store-wide remove them in "
                                   "the same run"));
    return;
  }
  if (!AskQuestion(this, windowTitle(),
                   QStringLiteral("Uninstalling leaves ") + left +
                       QStringLiteral(" behind, which would name a component that no longer "
                                      "exists.\n\nRemove them in this run as well?")))
    return;
  for (const auto& [list, box] :
       {std::pair{ui.SysMbxUninstList, ui.Check5}, std::pair{ui.MbxUninstList, ui.Check4}}) {
    if (list->count() == 0) continue;
    list->selectAll();
    box->setChecked(true);
  }
}

bool InstallForm::RunInstallationSteps() {
  const InstallFormControls& ui = ui_;
  // Whatever can refuse the run is asked before its first change.
  RunPlan plan;
  const WipedAtEnd wipedAtEnd(plan.password);
  if (ui.Check1->isChecked()) {
    plan.identity = ui.txtIdent->text().toStdString();
    plan.password = SecretText(*ui.txtPwd);
    if (text::Trim(plan.identity).empty() || text::TrimView(plan.password).empty()) {
      ShowMessage(this, QMessageBox::Warning, windowTitle(), kFillIdentityMessage);
      return false;
    }
    const std::optional<std::string> constructorString = RulesConstructorString();
    if (!constructorString) return false;
    plan.install = true;
    plan.constructorString = *constructorString;
  }
  if (ui.chkChangeRules->isChecked()) {
    plan.newRules = RulesConstructorString();
    if (!plan.newRules) return false;
  }
  if (ui.Check6->isChecked()) OfferToRemoveRegistrationsLeftBehind();

  // Batch mode renews every registration it finds.
  const bool unregistering = ui.Check4->isChecked() || ui.Check5->isChecked();
  const bool registering = ui.Check2->isChecked() || ui.Check3->isChecked() || state_.blnBatchMode;
  struct Pass {
    RunPlan::Registrations& registrations;
    QCheckBox* unregisterBox;
    QListWidget* registered;
    QCheckBox* registerBox;
    QListWidget* unregistered;
  };
  const Pass passes[] = {
      {plan.storeWide, ui.Check5, ui.SysMbxUninstList, ui.Check2, ui.SysMbxInstList},
      {plan.perMailbox, ui.Check4, ui.MbxUninstList, ui.Check3, ui.MbxInstList}};
  for (const Pass& pass : passes) {
    if (unregistering && pass.unregisterBox->isChecked())
      pass.registrations.remove = ListEntries(*pass.registered, true);
    if (!registering) continue;
    if (state_.blnBatchMode)
      pass.registrations.add = ListEntries(*pass.registered, false);
    else if (pass.registerBox->isChecked())
      pass.registrations.add = ListEntries(*pass.unregistered, true);
  }
  plan.priority = ui.txtPriority->text().toStdString();
  plan.uninstall = ui.Check6->isChecked();

  // The catalog has the password once installed; the window need not keep it, whatever the
  // outcome.
  Installer(*this, Server().roots).Run(plan, [&] { Wipe(*ui.txtPwd); });
  return true;
}

bool InstallForm::AcceptRuleWarnings(const std::vector<std::string>& warnings) {
  if (warnings.empty()) return true;
  // Nobody is there to answer: each warning is a line on stderr, and only --strict stops.
  if (MessagesToStderr()) {
    for (const std::string& w : warnings)
      ShowMessage(this, QMessageBox::Warning, QStringLiteral("warning"), QString::fromStdString(w));
    return !options_.strict;
  }
  QString text = QStringLiteral("The rules may not do what they seem to say:\n");
  for (const std::string& w : warnings) text += QStringLiteral("\n- ") + QString::fromStdString(w);
  text += QStringLiteral("\n\nUse them all the same?");
  return AskQuestion(this, windowTitle(), text);
}

std::optional<RunLock> InstallForm::WaitForRunLock(RunLock::Mode mode) {
  bool announced = false;
  waitingForRunLock_ = true;
  struct Done {
    InstallForm& form;
    const bool& announced;
    ~Done() {
      form.waitingForRunLock_ = false;
      if (announced) form.ui_.StatusBar1->clearMessage();
    }
  } done{*this, announced};
  return RunLock::Take(mode, [&] {
    if (!announced) {
      announced = true;
      ui_.StatusBar1->showMessage(kWaitingMessage);
      if (MessagesToStderr()) std::cerr << kProgramTitle << ": " << kWaitingMessage << std::endl;
    }
    QEventLoop loop;
    QTimer::singleShot(kWaitSliceMs, &loop, &QEventLoop::quit);
    loop.exec();
    return !closeRequested_;
  });
}

void InstallForm::Command3_Click() {
  ui_.Command3->setVisible(false);
  SetErrorLogText(QString());
  ui_.txtErr->setVisible(false);
}

void InstallForm::SetErrorLogText(const QString& text) {
  errorLogText_ = text;
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  ui_.txtErr->setPlainText(shown);
}

// --- Ending -------------------------------------------------------------------------------

void InstallForm::Fail(const platform::PlatformError& error) {
  if (fatalError_) return;
  fatalError_ = error;
  closeRequested_ = true;
  ShowMessage(this, QMessageBox::Critical, kProgramTitle, FatalErrorText(error));
  emit failed(kExitRefused);
}

void InstallForm::AfterBusy() {
  if (closeRequested_) close();
}

void InstallForm::closeEvent(QCloseEvent* event) {
  if (refilling_ || waitingForRunLock_) {
    // The enumeration or the wait on the stack still uses the window; it stops soon.
    closeRequested_ = true;
    event->ignore();
    return;
  }
  CloseConnections();
  event->accept();
}

}  // namespace drossgate::setup
