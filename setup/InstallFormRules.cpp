#include "InstallForm.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "RuleRows.h"
#include "SelectRecipient.h"
#include "frmTest.h"
#include "rules.h"
#include "text.h"

// The window's rule rows and priority: their field handlers, locking and opening them, and
// their contents as the rule records of RuleRows.

namespace drossgate::setup {

namespace rules = common::rules;

namespace {

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
  ShowInstalledConfiguration();
  LockRuleRows();
  globals_.InitDone = true;
}

std::optional<std::string> InstallForm::RulesConstructorString() {
  const RuleRows grid = ReadRuleRows();
  const rules::Build build = grid.Build();
  for (size_t i = 0; i < build.shownTargets.size(); ++i)
    ui_.rows[i].txtSpamFolder->setText(QString::fromStdString(build.shownTargets[i]));
  if (!build.refusal.empty()) {
    ShowMessage(this, QMessageBox::Warning, windowTitle(), QString::fromStdString(build.refusal));
    return std::nullopt;
  }
  if (!AcceptRuleWarnings(grid.Warnings())) return std::nullopt;
  return build.constructorString;
}

RuleRows InstallForm::ReadRuleRows() const {
  RuleRows grid;
  for (size_t i = 0; i < grid.rows.size(); ++i) {
    const RuleRow& row = ui_.rows[i];
    grid.rows[i] = {row.txtSpamTag->text().toStdString(),
                    static_cast<rules::ActionKind>(row.List1->currentIndex()),
                    row.txtSpamFolder->text().toStdString()};
  }
  grid.priority = ui_.txtPriority->text().toStdString();
  return grid;
}

void InstallForm::ShowRuleRows(const RuleRows& grid) {
  state_.priorityChanging = true;
  ui_.txtPriority->setText(QString::fromStdString(grid.priority));
  state_.priorityChanging = false;
  globals_.LastValidPriority = ui_.txtPriority->text();
  // Conditions first: a condition cleared resets its row's target and action.
  for (size_t i = 0; i < grid.rows.size(); ++i)
    ui_.rows[i].txtSpamTag->setText(QString::fromStdString(grid.rows[i].condition));
  for (size_t i = 0; i < grid.rows.size(); ++i) {
    ui_.rows[i].txtSpamFolder->setText(QString::fromStdString(grid.rows[i].target));
    ui_.rows[i].List1->setCurrentIndex(static_cast<int>(grid.rows[i].action));
  }
}

InstalledConfiguration InstallForm::ShowInstalledConfiguration() {
  const InstalledConfiguration configuration = ReadComPlusConfiguration(*this, kApplicationName);
  if (configuration.read) {
    RuleRows grid = ReadRuleRows();
    grid.ShowConstructorString(configuration.constructorString);
    ShowRuleRows(grid);
  }
  return configuration;
}

}  // namespace drossgate::setup
