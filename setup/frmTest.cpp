#include "frmTest.h"

#include <QApplication>
#include <QEvent>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "ConditionTester.h"
#include "InstallForm.h"

namespace drossgate::setup {

namespace {

constexpr const char* kCaption = "Test a condition";
constexpr const char* kUnknownResult = "???";

QLabel* MakeLabel(const char* name, const char* text) {
  auto* label = new QLabel(QString::fromLatin1(text));
  label->setObjectName(QString::fromLatin1(name));
  label->setTextFormat(Qt::PlainText);
  return label;
}

}  // namespace

frmTest::frmTest(const InstallForm& owner, int row, QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("frmTest"));
  setWindowTitle(QString::fromLatin1(kCaption));

  Label1 = MakeLabel("Label1", "Condition:");
  Text1 = new QLineEdit;
  Text1->setObjectName(QStringLiteral("Text1"));
  Label2 = MakeLabel("Label2", "Value:");
  Text2 = new QLineEdit;
  Text2->setObjectName(QStringLiteral("Text2"));
  Command1 = new QPushButton(QStringLiteral("Test"));
  Command1->setObjectName(QStringLiteral("Command1"));
  Command1->setDefault(true);
  Label3 = MakeLabel("Label3", "Result:");
  Label4 = MakeLabel("Label4", kUnknownResult);
  QFont resultFont = Label4->font();
  resultFont.setBold(true);
  Label4->setFont(resultFont);
  lblWarnings = MakeLabel("lblWarnings", "");
  lblWarnings->setWordWrap(true);
  lblWarnings->setVisible(false);

  auto* grid = new QGridLayout(this);
  grid->setHorizontalSpacing(8);
  grid->setVerticalSpacing(12);
  grid->addWidget(Label1, 0, 0, Qt::AlignRight);
  grid->addWidget(Text1, 0, 1, 1, 2);
  grid->addWidget(Label2, 1, 0, Qt::AlignRight);
  grid->addWidget(Text2, 1, 1, 1, 2);
  grid->addWidget(Command1, 2, 1, Qt::AlignLeft);
  grid->addWidget(Label3, 3, 0, Qt::AlignRight);
  grid->addWidget(Label4, 3, 1, 1, 2);
  grid->addWidget(lblWarnings, 4, 1, 1, 2);
  grid->setColumnStretch(2, 1);
  Command1->setMinimumWidth(Command1->fontMetrics().horizontalAdvance(QStringLiteral("Test")) + 48);
  Text1->setMinimumWidth(Text1->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 36);
  setTabOrder(Text1, Text2);
  setTabOrder(Text2, Command1);

  // The previous result is hidden as soon as the pointer moves over a text box.
  for (QLineEdit* box : {Text1, Text2}) {
    box->setMouseTracking(true);
    box->installEventFilter(this);
  }
  connect(Command1, &QPushButton::clicked, this, &frmTest::Command1_Click);

  Form_Load(owner, row);
}

void frmTest::Form_Load(const InstallForm& owner, int row) {
  const auto& rows = owner.ui().rows;
  if (row < 0 || row >= static_cast<int>(rows.size())) return;
  const std::string condition = rows[row].txtSpamTag->text().toStdString();
  Text1->setText(QString::fromStdString(ConditionPattern(condition)));
  headerName_ = ConditionHeaderName(condition);
}

void frmTest::Command1_Click() {
  const bool matches = TestCondition(Text1->text().toStdString(), Text2->text().toStdString());
  if (matches)
    ShowResult(QString::fromLatin1(kMatchesText), QColor(0, 255, 0));
  else
    ShowResult(QString::fromLatin1(kNoMatchText), QColor(255, 0, 0));
  QStringList warnings;
  for (const std::string& w : ConditionTestWarnings(headerName_, Text1->text().toStdString()))
    warnings << QStringLiteral("Warning: ") + QString::fromStdString(w);
  lblWarnings->setText(warnings.join(QLatin1Char('\n')));
  lblWarnings->setVisible(!warnings.isEmpty());
}

void frmTest::ShowResult(const QString& text, const QColor& colour) {
  QPalette palette = Label4->palette();
  palette.setColor(QPalette::WindowText, colour);
  Label4->setPalette(palette);
  Label4->setText(text);
}

bool frmTest::eventFilter(QObject* watched, QEvent* event) {
  if ((watched == Text1 || watched == Text2) && event->type() == QEvent::MouseMove)
    ShowResult(QString::fromLatin1(kUnknownResult), palette().color(QPalette::Button));
  return QDialog::eventFilter(watched, event);
}

}  // namespace drossgate::setup
