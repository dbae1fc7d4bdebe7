#include "InstallForm.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QFocusEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include <filesystem>
#include <iostream>

#include "Cluster.h"
#include "ComPlus.h"
#include "Items.h"
#include "SelectRecipient.h"
#include "directory/directory.h"
#include "frmTest.h"
#include "rules.h"
#include "store/store.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::setup {

namespace rules = common::rules;

namespace dir = platform::directory;
namespace store = platform::store;

namespace {

constexpr const char* kCaption = "Drossgate setup";
constexpr const char* kBatchSuffix = " - batch mode";
constexpr const char* kStoreView = "\\\\.\\backofficestorage\\";
constexpr const char* kSelectAll = "Select All";
constexpr const char* kDeselectAll = "Deselect All";
constexpr const char* kRegisterMessage = "Please select the mailbox(es) for registration";
constexpr const char* kUnregisterMessage = "Please select the mailbox(es) for unregistration";
constexpr const char* kPriorityTip = "(0 is highest, 65535 is lowest)";
constexpr const char* kWaitingMessage = "Waiting for another setup run on this server to end...";
constexpr int kWaitSliceMs = 100;

template <typename W>
W* Named(W* widget, const QString& name) {
  widget->setObjectName(name);
  return widget;
}

QLabel* MakeLabel(const char* name, const QString& text) {
  auto* label = Named(new QLabel(text), name);
  label->setTextFormat(Qt::PlainText);
  return label;
}

QListWidget* MakeList(const char* name) {
  auto* list = Named(new QListWidget, name);
  // Each click toggles one entry.
  list->setSelectionMode(QAbstractItemView::MultiSelection);
  list->setMinimumHeight(64);
  return list;
}

QString Row(const char* name, int row) {
  return QString::fromLatin1(name) + QString::number(row);
}

// The entries of list in list order, all or only the selected ones.
std::vector<std::string> ListEntries(const QListWidget& list, bool selectedOnly) {
  std::vector<std::string> entries;
  for (int i = 0; i < list.count(); ++i)
    if (!selectedOnly || list.item(i)->isSelected())
      entries.push_back(list.item(i)->text().toStdString());
  return entries;
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

QStringList ActionListItems(int row) {
  return {QStringLiteral("move to folder"), QStringLiteral("delete"), QStringLiteral("forward to"),
          row == 0 ? QStringLiteral("set SCL to ") : QStringLiteral("set SCL to")};
}

bool IsAcceptablePriority(std::string_view value) {
  std::string_view digits = text::TrimView(value);
  if (!AllDigits(digits)) return false;
  while (digits.size() > 1 && digits[0] == '0') digits.remove_prefix(1);
  return digits.size() < 5 || (digits.size() == 5 && digits <= "65535");
}

// --- Construction -------------------------------------------------------------------------

InstallForm::InstallForm(SetupOptions options, QWidget* parent)
    : QWidget(parent), options_(options) {
  setObjectName(QStringLiteral("InstallForm"));
  setWindowTitle(kCaption);
  BuildControls();
  BuildLayout();
  SetTabOrder();
  ConnectHandlers();
  resize(800, 660);
}

InstallForm::~InstallForm() {
  CloseConnections();
  Wipe(*ui_.txtPwd);
}

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

void InstallForm::BuildControls() {
  InstallFormControls& ui = ui_;
  ui.Label3 = MakeLabel("Label3", QStringLiteral("Identity:"));
  ui.txtIdent = Named(new QLineEdit, QStringLiteral("txtIdent"));
  ui.Label2 = MakeLabel("Label2", QStringLiteral("Password:"));
  ui.txtPwd = Named(new QLineEdit, QStringLiteral("txtPwd"));
  ui.txtPwd->setEchoMode(QLineEdit::Password);
  ui.Label10 = MakeLabel("Label10", QStringLiteral("Event sink priority:"));
  ui.txtPriority = Named(new QLineEdit(QStringLiteral("65535")), QStringLiteral("txtPriority"));
  ui.txtPriority->setToolTip(kPriorityTip);
  ui.txtPriority->setMaximumWidth(ui.txtPriority->fontMetrics().horizontalAdvance("0000000") + 16);
  ui.Check1 = Named(new QCheckBox(QStringLiteral("Install COM+ object")), QStringLiteral("Check1"));
  ui.Check1->setEnabled(false);

  ui.Label6 = MakeLabel("Label6", QStringLiteral("SPAM header or IMF SCL score:"));
  ui.Label5 = MakeLabel("Label5", QStringLiteral("Action:"));
  ui.Label1 = MakeLabel("Label1", QStringLiteral("Target:"));
  for (int i = 0; i < static_cast<int>(ui.rows.size()); ++i) {
    RuleRow& row = ui.rows[i];
    row.txtSpamTag = Named(new QLineEdit, Row("txtSpamTag", i));
    row.btnTest = Named(new QPushButton(QStringLiteral("Test")), Row("btnTest", i));
    row.btnTest->setVisible(false);
    row.List1 = Named(new QComboBox, Row("List1", i));
    row.List1->addItems(ActionListItems(i));
    row.List1->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    row.List1->setEnabled(i == 0);
    row.txtSpamFolder = Named(new QLineEdit, Row("txtSpamFolder", i));
    row.cmdBrowse = Named(new QPushButton(QStringLiteral("...")), Row("cmdBrowse", i));
    QFont browseFont(QStringLiteral("Arial"));
    browseFont.setPointSize(row.cmdBrowse->font().pointSize());
    row.cmdBrowse->setFont(browseFont);
    row.cmdBrowse->setEnabled(false);
    row.cmdBrowse->setFixedWidth(row.cmdBrowse->fontMetrics().horizontalAdvance("...") + 14);
    SetTargetLocked(i, true);
  }
  ui.rows[0].txtSpamTag->setText(QStringLiteral("X-Spam-Flag: YES"));
  ui.rows[0].txtSpamFolder->setText(QStringLiteral("Spam"));
  ui.Label9 = MakeLabel("Label9", QStringLiteral("Example 1: Subject: [SPAM]                "
                                                 "Example 2: IMFSCL: {> 3}"));
  ui.Label8 = MakeLabel("Label8", QStringLiteral("Example: Inbox\\Spam"));

  ui.Check2 = Named(new QCheckBox(QStringLiteral("Register store-wide")), QStringLiteral("Check2"));
  ui.Check2->setEnabled(false);
  ui.SysMbxInstList = MakeList("SysMbxInstList");
  ui.Command4 = Named(new QPushButton(kSelectAll), QStringLiteral("Command4"));
  ui.Check3 =
      Named(new QCheckBox(QStringLiteral("Register per-mailbox")), QStringLiteral("Check3"));
  ui.MbxInstList = MakeList("MbxInstList");
  ui.Check7 = Named(new QCheckBox(QStringLiteral("Show disabled")), QStringLiteral("Check7"));
  ui.Check7->setChecked(true);
  ui.Command5 = Named(new QPushButton(kSelectAll), QStringLiteral("Command5"));
  ui.Check4 =
      Named(new QCheckBox(QStringLiteral("Unregister per-mailbox")), QStringLiteral("Check4"));
  ui.MbxUninstList = MakeList("MbxUninstList");
  ui.Command6 = Named(new QPushButton(kSelectAll), QStringLiteral("Command6"));
  ui.Check5 =
      Named(new QCheckBox(QStringLiteral("Unregister store-wide")), QStringLiteral("Check5"));
  ui.Check5->setEnabled(false);
  ui.SysMbxUninstList = MakeList("SysMbxUninstList");
  ui.Command7 = Named(new QPushButton(kSelectAll), QStringLiteral("Command7"));
  ui.chkChangeRules =
      Named(new QCheckBox(QStringLiteral("Change rules")), QStringLiteral("chkChangeRules"));
  ui.chkChangeRules->setToolTip(
      QStringLiteral("Write the rules and the priority below into the installed sink"));
  ui.chkChangeRules->setVisible(false);
  ui.Check6 =
      Named(new QCheckBox(QStringLiteral("Uninstall COM+ object ")), QStringLiteral("Check6"));
  ui.Check6->setEnabled(false);
  // The select buttons alternate between two captions; both must fit.
  const int selectWidth = ui.Command4->fontMetrics().horizontalAdvance(kDeselectAll) + 24;
  for (QPushButton* button : {ui.Command4, ui.Command5, ui.Command6, ui.Command7})
    button->setMinimumWidth(selectWidth);

  ui.txtErr = Named(new QPlainTextEdit, QStringLiteral("txtErr"));
  ui.txtErr->setReadOnly(true);
  ui.txtErr->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  ui.txtErr->setVisible(false);
  ui.Picture1 = Named(new QProgressBar, QStringLiteral("Picture1"));
  ui.Command3 =
      Named(new QPushButton(QStringLiteral("Clear Error Log")), QStringLiteral("Command3"));
  ui.Command3->setVisible(false);
  ui.Command1 = Named(new QPushButton(QStringLiteral("CHANGE")), QStringLiteral("Command1"));
  ui.Command2 = Named(new QPushButton(QStringLiteral("Exit")), QStringLiteral("Command2"));
  ui.StoreWideURLtxt = Named(new QLineEdit(this), QStringLiteral("StoreWideURLtxt"));
  ui.StoreWideURLtxt->setVisible(false);
  ui.StatusBar1 = Named(new QStatusBar, QStringLiteral("StatusBar1"));
  ui.StatusBar1->setSizeGripEnabled(false);
}

void InstallForm::BuildLayout() {
  const InstallFormControls& ui = ui_;
  auto* grid = new QGridLayout(this);
  grid->setHorizontalSpacing(6);
  grid->setVerticalSpacing(4);
  // Columns: 0 the check boxes and buttons on the left, 1 condition, 2 test button, 3 action,
  // 4 target, 5 browse button.
  enum { kLeft = 0, kTag = 1, kTest = 2, kAction = 3, kTarget = 4, kBrowse = 5, kAll = 5 };
  int r = 0;

  grid->addWidget(ui.Label3, r, kLeft, Qt::AlignRight | Qt::AlignVCenter);
  auto* header = new QHBoxLayout;
  header->addWidget(ui.txtIdent, 3);
  header->addSpacing(12);
  header->addWidget(ui.Label2);
  header->addWidget(ui.txtPwd, 3);
  header->addSpacing(12);
  header->addWidget(ui.Label10);
  header->addWidget(ui.txtPriority, 1);
  grid->addLayout(header, r, kTag, 1, kAll);
  grid->setRowMinimumHeight(++r, 6);

  ++r;
  grid->addWidget(ui.Label6, r, kTag);
  grid->addWidget(ui.Label5, r, kAction);
  grid->addWidget(ui.Label1, r, kTarget, 1, 2);
  const int firstRuleRow = ++r;
  for (const RuleRow& row : ui.rows) {
    grid->addWidget(row.txtSpamTag, r, kTag);
    grid->addWidget(row.btnTest, r, kTest);
    grid->addWidget(row.List1, r, kAction);
    grid->addWidget(row.txtSpamFolder, r, kTarget);
    grid->addWidget(row.cmdBrowse, r, kBrowse);
    ++r;
  }
  grid->addWidget(ui.Check1, firstRuleRow, kLeft, 2, 1, Qt::AlignLeft | Qt::AlignVCenter);
  // In the rows Check1 leaves free; shown only while the sink is installed, and then Check1 is
  // of no use.
  grid->addWidget(ui.chkChangeRules, firstRuleRow + 2, kLeft, 2, 1,
                  Qt::AlignLeft | Qt::AlignVCenter);
  grid->addWidget(ui.Label9, r, kTag, 1, 3);
  grid->addWidget(ui.Label8, r, kTarget, 1, 2);
  grid->setRowMinimumHeight(++r, 8);

  auto addListRow = [&](std::initializer_list<QWidget*> left, QListWidget* list) {
    ++r;
    auto* column = new QVBoxLayout;
    column->setSpacing(4);
    for (QWidget* widget : left) column->addWidget(widget, 0, Qt::AlignLeft);
    column->addStretch(1);
    grid->addLayout(column, r, kLeft);
    if (list) {
      grid->addWidget(list, r, kTag, 1, kAll);
      grid->setRowStretch(r, 1);
    }
  };
  addListRow({ui.Check2, ui.Command4}, ui.SysMbxInstList);
  addListRow({ui.Check3, ui.Check7, ui.Command5}, ui.MbxInstList);
  addListRow({ui.Check4, ui.Command6}, ui.MbxUninstList);
  addListRow({ui.Check5, ui.Command7}, ui.SysMbxUninstList);
  addListRow({ui.Check6, ui.Command3}, nullptr);
  grid->addWidget(ui.txtErr, r, kTag, 1, kAll);
  grid->setRowStretch(r, 1);

  // The bar is shown only while the lists fill; its row keeps its height so nothing jumps.
  QSizePolicy barPolicy = ui.Picture1->sizePolicy();
  barPolicy.setRetainSizeWhenHidden(true);
  ui.Picture1->setSizePolicy(barPolicy);
  grid->addWidget(ui.Picture1, ++r, kLeft, 1, kAll + 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  for (QPushButton* button : {ui.Command1, ui.Command2}) {
    button->setMinimumWidth(button->fontMetrics().horizontalAdvance("CHANGE") + 48);
    buttons->addWidget(button);
  }
  buttons->addStretch(1);
  grid->addLayout(buttons, ++r, kLeft, 1, kAll + 1);
  grid->addWidget(ui.StatusBar1, ++r, kLeft, 1, kAll + 1);

  grid->setColumnStretch(kTag, 5);
  grid->setColumnStretch(kTarget, 3);
  ui.txtErr->setMinimumHeight(64);
  ui.Picture1->setTextVisible(true);
  ui.Picture1->setFormat(QString());
  ui.Picture1->setValue(0);
}

void InstallForm::SetTabOrder() {
  const InstallFormControls& ui = ui_;
  std::vector<QWidget*> order = {ui.Check1, ui.txtIdent, ui.txtPwd, ui.txtPriority};
  for (const RuleRow& row : ui.rows) {
    order.push_back(row.txtSpamTag);
    order.push_back(row.List1);
    order.push_back(row.txtSpamFolder);
  }
  order.push_back(ui.chkChangeRules);
  for (QWidget* widget :
       {static_cast<QWidget*>(ui.Check2), static_cast<QWidget*>(ui.SysMbxInstList),
        static_cast<QWidget*>(ui.Check3), static_cast<QWidget*>(ui.MbxInstList),
        static_cast<QWidget*>(ui.Check7), static_cast<QWidget*>(ui.Command4),
        static_cast<QWidget*>(ui.Check4), static_cast<QWidget*>(ui.MbxUninstList),
        static_cast<QWidget*>(ui.Command6), static_cast<QWidget*>(ui.Check5),
        static_cast<QWidget*>(ui.SysMbxUninstList), static_cast<QWidget*>(ui.Check6),
        static_cast<QWidget*>(ui.Command3), static_cast<QWidget*>(ui.txtErr),
        static_cast<QWidget*>(ui.Command1), static_cast<QWidget*>(ui.Command2)})
    order.push_back(widget);
  for (const RuleRow& row : ui.rows) order.push_back(row.cmdBrowse);
  for (const RuleRow& row : ui.rows) order.push_back(row.btnTest);
  order.push_back(ui.Command5);
  order.push_back(ui.Command7);
  for (size_t i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
  ui.StoreWideURLtxt->setFocusPolicy(Qt::NoFocus);
}

void InstallForm::ConnectHandlers() {
  const InstallFormControls& ui = ui_;
  for (int i = 0; i < static_cast<int>(ui.rows.size()); ++i) {
    const RuleRow& row = ui.rows[i];
    connect(row.txtSpamTag, &QLineEdit::textChanged, this, [this, i] { txtSpamTag_Change(i); });
    connect(row.List1, &QComboBox::currentIndexChanged, this, [this, i] { List1_Click(i); });
    connect(row.btnTest, &QPushButton::clicked, this, [this, i] { btnTest_Click(i); });
    connect(row.cmdBrowse, &QPushButton::clicked, this, [this, i] { cmdBrowse_Click(i); });
    row.txtSpamFolder->installEventFilter(this);
  }
  connect(ui.txtPwd, &QLineEdit::textChanged, this, [this](const QString& text) {
    if (text.isEmpty())
      passwordHeld_.reset();
    else if (!passwordHeld_)
      passwordHeld_.emplace();
  });
  ui.txtPriority->installEventFilter(this);
  connect(ui.txtPriority, &QLineEdit::textChanged, this, [this] { txtPriority_Change(); });
  connect(ui.Check2, &QCheckBox::toggled, this,
          [this] { RegistrationCheck_Click(ui_.Check2, ui_.SysMbxInstList, kRegisterMessage); });
  connect(ui.Check3, &QCheckBox::toggled, this,
          [this] { RegistrationCheck_Click(ui_.Check3, ui_.MbxInstList, kRegisterMessage); });
  connect(ui.Check4, &QCheckBox::toggled, this,
          [this] { RegistrationCheck_Click(ui_.Check4, ui_.MbxUninstList, kUnregisterMessage); });
  connect(ui.Check5, &QCheckBox::toggled, this, [this] {
    RegistrationCheck_Click(ui_.Check5, ui_.SysMbxUninstList, kUnregisterMessage);
  });
  connect(ui.Check7, &QCheckBox::clicked, this, [this] { Check7_Click(); });
  connect(ui.chkChangeRules, &QCheckBox::clicked, this, [this] { chkChangeRules_Click(); });
  const std::pair<QPushButton*, QListWidget*> toggles[] = {{ui.Command4, ui.SysMbxInstList},
                                                           {ui.Command5, ui.MbxInstList},
                                                           {ui.Command6, ui.MbxUninstList},
                                                           {ui.Command7, ui.SysMbxUninstList}};
  for (const auto& [button, list] : toggles)
    connect(button, &QPushButton::clicked, this,
            [button = button, list = list] { ToggleListSelection(*button, *list); });
  connect(ui.Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
  connect(ui.Command2, &QPushButton::clicked, this, [this] { close(); });
  connect(ui.Command3, &QPushButton::clicked, this, [this] { Command3_Click(); });
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

  setWindowTitle(QString::fromLatin1(kCaption) +
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
  std::string identity;
  bool installed = false;
  if (!installation_.catalogUnreadable)
    installed = ReadComPlusConfiguration(*this, kApplicationName, identity);
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
    ui.txtIdent->setText(QString::fromStdString(identity));
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

std::array<QLabel*, 6> InstallForm::RuleLabels() const {
  return {ui_.Label1, ui_.Label5, ui_.Label6, ui_.Label8, ui_.Label9, ui_.Label10};
}

void InstallForm::LockRuleRows() {
  for (int i = 0; i < static_cast<int>(ui_.rows.size()); ++i) {
    const RuleRow& row = ui_.rows[i];
    row.txtSpamTag->setEnabled(false);
    row.List1->setEnabled(false);
    SetTargetLocked(i, true);
    row.txtSpamFolder->setToolTip(row.txtSpamFolder->text());
    row.cmdBrowse->setEnabled(false);
  }
  ui_.txtPriority->setEnabled(false);
  for (QLabel* label : RuleLabels()) label->setEnabled(false);
}

void InstallForm::OpenRuleRows() {
  for (int i = 0; i < static_cast<int>(ui_.rows.size()); ++i) {
    const RuleRow& row = ui_.rows[i];
    row.txtSpamFolder->setToolTip(row.txtSpamFolder->text());
    row.txtSpamTag->setEnabled(true);
    const bool inUse = !text::Trim(row.txtSpamTag->text().toStdString()).empty();
    row.List1->setEnabled(inUse);
    const int action = row.List1->currentIndex();
    SetTargetLocked(i, !inUse || action != kActionMove);
    row.cmdBrowse->setEnabled(inUse && action == kActionForward);
  }
  ui_.txtPriority->setEnabled(true);
  for (QLabel* label : RuleLabels()) label->setEnabled(true);
}

void InstallForm::chkChangeRules_Click() {
  if (ui_.chkChangeRules->isChecked()) {
    OpenRuleRows();
    return;
  }
  // Back to what the sink has, as the window showed it before.
  globals_.InitDone = false;
  std::string identity;
  ReadComPlusConfiguration(*this, kApplicationName, identity);
  LockRuleRows();
  globals_.InitDone = true;
}

void InstallForm::RefillMailboxLists() {
  if (refilling_) {
    refillPending_ = true;
    return;
  }
  refilling_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{refilling_};
  do {
    refillPending_ = false;
    GetUsersWithMailboxes(*this);
  } while (refillPending_ && !closeRequested_);
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

std::optional<std::string> InstallForm::RulesConstructorString() {
  const InstallFormControls& ui = ui_;
  std::vector<rules::Row> rows;
  for (const RuleRow& row : ui.rows)
    rows.push_back({row.txtSpamTag->text().toStdString(),
                    static_cast<rules::ActionKind>(row.List1->currentIndex()),
                    row.txtSpamFolder->text().toStdString()});
  const rules::Build build =
      rules::FormatConstructorString(rows, ui.txtPriority->text().toStdString());
  for (size_t i = 0; i < build.shownTargets.size(); ++i)
    ui.rows[i].txtSpamFolder->setText(QString::fromStdString(build.shownTargets[i]));
  if (!build.refusal.empty()) {
    ShowMessage(this, QMessageBox::Warning, windowTitle(), QString::fromStdString(build.refusal));
    return std::nullopt;
  }
  if (!AcceptRuleWarnings(rules::RowWarnings(rows))) return std::nullopt;
  return build.constructorString;
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
  std::string identity;
  std::string password;
  const WipedAtEnd wipedAtEnd(password);
  std::optional<std::string> installation;
  if (ui.Check1->isChecked()) {
    identity = ui.txtIdent->text().toStdString();
    password = SecretText(*ui.txtPwd);
    if (text::Trim(identity).empty() || text::TrimView(password).empty()) {
      ShowMessage(this, QMessageBox::Warning, windowTitle(), kFillIdentityMessage);
      return false;
    }
    installation = RulesConstructorString();
    if (!installation) return false;
  }
  std::optional<std::string> newRules;
  if (ui.chkChangeRules->isChecked()) {
    newRules = RulesConstructorString();
    if (!newRules) return false;
  }
  if (ui.Check6->isChecked()) OfferToRemoveRegistrationsLeftBehind();

  if (installation) {
    // The damaged installation goes first, so that the new one is the only one.
    RemoveDamagedInstallation(*this, kApplicationName);
    InstallComPlusApplication(*this, kApplicationName, identity, password, *installation);
    // The catalog has it now; the window need not keep it, whatever the outcome.
    Wipe(*ui.txtPwd);
  }
  // The identity, its password and the registrations stay; sinks created from now on have the
  // new rules.
  if (newRules) ReconfigureComPlusApplication(*this, kApplicationName, *newRules);

  // Store-wide work before per-mailbox work; in each, the old items go before new ones are
  // written, so a renewal (batch mode) rewrites every item it removed.
  const MailboxRoots roots{state_.FileFolderURL, state_.FolderURL, state_.ComputerName};
  const std::string priority = ui.txtPriority->text().toStdString();
  const bool unregistering = ui.Check4->isChecked() || ui.Check5->isChecked();
  const bool registering = ui.Check2->isChecked() || ui.Check3->isChecked() || state_.blnBatchMode;
  struct Pass {
    const RegistrationKind& kind;
    QCheckBox* unregisterBox;
    QListWidget* registered;
    QCheckBox* registerBox;
    QListWidget* unregistered;
  };
  const Pass passes[] = {{kStoreWide, ui.Check5, ui.SysMbxUninstList, ui.Check2, ui.SysMbxInstList},
                         {kPerMailbox, ui.Check4, ui.MbxUninstList, ui.Check3, ui.MbxInstList}};
  for (const Pass& pass : passes) {
    if (unregistering && pass.unregisterBox->isChecked())
      for (const std::string& entry : ListEntries(*pass.registered, true))
        UnregisterEntry(entry, roots, pass.kind, *this);
    if (!registering) continue;
    std::vector<std::string> entries;
    if (state_.blnBatchMode)
      entries = ListEntries(*pass.registered, false);
    else if (pass.registerBox->isChecked())
      entries = ListEntries(*pass.unregistered, true);
    for (const std::string& entry : entries)
      RegisterEntry(entry, roots, pass.kind, priority, *this);
  }

  if (ui.Check6->isChecked() && !RemoveDamagedInstallation(*this, kApplicationName))
    UninstallComPlusApplication(*this, kApplicationName);
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

void InstallForm::ToggleListSelection(QPushButton& button, QListWidget& list) {
  const int current = list.currentRow();
  if (button.text().compare(QStringLiteral("Select all"), Qt::CaseInsensitive) == 0) {
    list.selectAll();
    button.setText(kDeselectAll);
  } else {
    list.clearSelection();
    button.setText(kSelectAll);
  }
  list.setCurrentRow(current, QItemSelectionModel::NoUpdate);
}

// --- Field handlers -----------------------------------------------------------------------

int InstallForm::ActiveRow() const {
  const QWidget* focus = QApplication::focusWidget();
  for (int i = 0; i < static_cast<int>(ui_.rows.size()); ++i) {
    const RuleRow& row = ui_.rows[i];
    for (const QWidget* widget :
         {static_cast<const QWidget*>(row.txtSpamTag), static_cast<const QWidget*>(row.btnTest),
          static_cast<const QWidget*>(row.List1), static_cast<const QWidget*>(row.txtSpamFolder),
          static_cast<const QWidget*>(row.cmdBrowse)})
      if (focus == widget) return i;
  }
  return -1;
}

void InstallForm::SetTargetLocked(int row, bool locked) {
  QLineEdit* target = ui_.rows[row].txtSpamFolder;
  target->setReadOnly(locked);
  QPalette palette = target->palette();
  const QPalette& normal = QApplication::palette(target);
  palette.setColor(QPalette::Text, locked ? normal.color(QPalette::Disabled, QPalette::Text)
                                          : normal.color(QPalette::Active, QPalette::Text));
  target->setPalette(palette);
}

void InstallForm::txtSpamTag_Change(int i) {
  const RuleRow& row = ui_.rows[i];
  row.txtSpamTag->setToolTip(row.txtSpamTag->text());
  if (text::Trim(row.txtSpamTag->text().toStdString()).empty()) {
    row.List1->setCurrentIndex(kActionMove);
    row.List1->setEnabled(false);
    row.txtSpamFolder->clear();
    SetTargetLocked(i, true);
    row.cmdBrowse->setEnabled(false);
    return;
  }
  row.List1->setEnabled(true);
  SetTargetLocked(
      i, text::EqualsNoCase(text::Trim(row.List1->currentText().toStdString()), "forward to"));
}

void InstallForm::List1_Click(int i) {
  if (!globals_.InitDone) return;
  const RuleRow& row = ui_.rows[i];
  switch (row.List1->currentIndex()) {
    case kActionMove:
      SetTargetLocked(i, false);
      row.txtSpamFolder->clear();
      row.cmdBrowse->setEnabled(false);
      break;
    case kActionDelete:
      SetTargetLocked(i, false);
      row.txtSpamFolder->setText(QStringLiteral("[NULL]"));
      row.cmdBrowse->setEnabled(false);
      break;
    case kActionForward:
      SetTargetLocked(i, true);
      row.txtSpamFolder->clear();
      row.cmdBrowse->setEnabled(true);
      break;
    case kActionSetScl:
      SetTargetLocked(i, false);
      if (row.txtSpamFolder->text().isEmpty()) row.txtSpamFolder->setText(QStringLiteral("9"));
      row.cmdBrowse->setEnabled(false);
      break;
    default:
      break;
  }
}

void InstallForm::txtSpamFolder_LostFocus(int i) {
  const RuleRow& row = ui_.rows[i];
  if (row.List1->currentIndex() == kActionSetScl &&
      !rules::IsValidScl(text::Trim(row.txtSpamFolder->text().toStdString()))) {
    ShowMessage(this, QMessageBox::NoIcon, kProgramTitle, rules::kSclRangeMessage);
    row.txtSpamFolder->setFocus(Qt::OtherFocusReason);
  }
  row.txtSpamFolder->setToolTip(row.txtSpamFolder->text());
}

void InstallForm::txtPriority_Change() {
  if (state_.priorityChanging) return;
  state_.priorityChanging = true;
  const QString value = ui_.txtPriority->text();
  if (!IsAcceptablePriority(value.toStdString()))
    ui_.txtPriority->setText(globals_.LastValidPriority);
  else
    globals_.LastValidPriority = value;
  state_.priorityChanging = false;
}

void InstallForm::RegistrationCheck_Click(QCheckBox* box, QListWidget* list, const char* message) {
  if (box->isChecked() && list->selectedItems().isEmpty()) {
    ShowMessage(this, QMessageBox::Information, windowTitle(), message);
    box->setChecked(false);
  }
}

void InstallForm::Check7_Click() {
  Hourglass hourglass;
  Guarded([&] { RefillMailboxLists(); });
}

// Both windows work on the row of the button that opened them.
void InstallForm::btnTest_Click(int row) {
  frmTest tester(*this, row, this);
  tester.exec();
}
void InstallForm::cmdBrowse_Click(int row) {
  SelectRecipient picker(*this, row, this);
  picker.exec();
}

bool InstallForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ui_.txtPriority && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<const QKeyEvent*>(event);
    const QString typed = key->text();
    // Editing and navigation keys and shortcuts (paste included) pass; of the keys that type
    // a character, only digits, Backspace and Space do.
    if (typed.isEmpty() || (key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)))
      return false;
    const QChar c = typed.front();
    if (c.unicode() < 0x20 || c.unicode() == 0x7f) return false;
    const bool allowed = typed.size() == 1 && ((c >= u'0' && c <= u'9') || c == u' ');
    return !allowed;
  }
  if (event->type() == QEvent::FocusOut) {
    const auto reason = static_cast<const QFocusEvent*>(event)->reason();
    // Switching to another application or opening a popup is no leaving of the field.
    if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason) return false;
    for (int i = 0; i < static_cast<int>(ui_.rows.size()); ++i) {
      if (watched != ui_.rows[i].txtSpamFolder) continue;
      // After the focus change has finished, so the message box does not interrupt it.
      QTimer::singleShot(0, this, [this, i] {
        if (isVisible() && !closeRequested_) txtSpamFolder_LostFocus(i);
      });
    }
  }
  return QWidget::eventFilter(watched, event);
}

// --- Ending -------------------------------------------------------------------------------

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
