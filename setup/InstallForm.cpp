#include "InstallForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>

#include <algorithm>

#include "HScrollListBox.h"
#include "Mailboxes.h"

// The window's controls, their layout and wiring, and the mailbox lists. The run, loading and
// ending are in InstallFormRun.cpp, the rule rows and field handlers in InstallFormRules.cpp.

namespace drossgate::setup {

namespace {

constexpr const char* kSelectAll = "Select All";
constexpr const char* kDeselectAll = "Deselect All";
constexpr const char* kRegisterMessage = "Please select the mailbox(es) for registration";
constexpr const char* kUnregisterMessage = "Please select the mailbox(es) for unregistration";
constexpr const char* kPriorityTip = "(0 is highest, 65535 is lowest)";

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

}  // namespace

// --- Construction -------------------------------------------------------------------------

InstallForm::InstallForm(SetupOptions options, QWidget* parent)
    : QWidget(parent), options_(options) {
  setObjectName(QStringLiteral("InstallForm"));
  setWindowTitle(kWindowCaption);
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

// --- The mailbox lists --------------------------------------------------------------------

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
    FillMailboxLists();
  } while (refillPending_ && !closeRequested_);
}

void InstallForm::FillMailboxLists() {
  const InstallFormControls& ui = ui_;
  for (QListWidget* list :
       {ui.SysMbxInstList, ui.MbxInstList, ui.MbxUninstList, ui.SysMbxUninstList})
    list->clear();
  // A list emptied is a list with nothing selected.
  for (QPushButton* button : {ui.Command4, ui.Command5, ui.Command6, ui.Command7})
    button->setText(kSelectAll);
  ui.Check2->setChecked(false);
  ui.Check5->setChecked(false);
  globals_.MailboxStatuses.clear();

  MailboxEnumeration enumeration(globals_, Server(), *this);
  enumeration.showDisabled = ui.Check7->isChecked();
  enumeration.probeDisabled = state_.probeDisabled;
  int32_t& progress = globals_.ProgressCount;
  // The window's events run once per record; the entries go into the lists in one step at the
  // end, as a shown list lays all its entries out again whenever entries are added.
  MailboxLists found = enumeration.Enumerate({
      .started =
          [&](int32_t records) {
            progress = 0;
            ui.Picture1->setRange(0, std::max(records, int32_t{1}));
            ui.Picture1->setValue(0);
            ui.Picture1->show();
          },
      .advanced =
          [&] {
            UpdateStatus(1, *ui.Picture1, progress);
            QCoreApplication::processEvents();
            return !ClosePending();
          },
      .finished =
          [&] {
            ui.Picture1->reset();
            ui.Picture1->setFormat(QString());
            ui.Picture1->hide();
          },
  });
  globals_.MailboxStatuses = std::move(found.statuses);
  const std::pair<QListWidget*, const std::vector<std::string>&> filled[] = {
      {ui.SysMbxInstList, found.storeWideUnregistered},
      {ui.MbxInstList, found.unregistered},
      {ui.MbxUninstList, found.registered},
      {ui.SysMbxUninstList, found.storeWideRegistered}};
  for (const auto& [list, entries] : filled) {
    QStringList texts;
    for (const std::string& entry : entries) texts << QString::fromStdString(entry);
    list->addItems(texts);
    SetHorizontalExtent(*list);
  }
  const std::pair<QCheckBox*, QListWidget*> boxes[] = {{ui.Check2, ui.SysMbxInstList},
                                                       {ui.Check3, ui.MbxInstList},
                                                       {ui.Check4, ui.MbxUninstList},
                                                       {ui.Check5, ui.SysMbxUninstList}};
  for (const auto& [box, list] : boxes) {
    box->setChecked(false);
    box->setEnabled(list->count() > 0);
  }
}

ServerFacts InstallForm::Server() const {
  return {{state_.FileFolderURL, state_.FolderURL, state_.ComputerName},
          state_.ShortComputerName,
          state_.blnIsClusterNode,
          state_.ClusterName};
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
}  // namespace drossgate::setup
