#include "Disclaimer.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "Globals.h"

namespace drossgate::setup {

namespace {

constexpr const char* kNotice =
    "LIMITATION OF LIABILITY. This program and the event sink it installs are provided \"as "
    "is\", without warranty of any kind, express or implied, including but not limited to the "
    "warranties of merchantability, fitness for a particular purpose and non-infringement. The "
    "filter moves, deletes and forwards messages in the mailboxes it is registered on. In no "
    "event shall the authors be liable for any claim, damages or other liability, including "
    "the loss of messages or of other data, arising from the installation or the use of this "
    "program on your mail server.";
constexpr const char* kQuestion =
    "Do you accept all of of the terms of the preceding Limitation of Liability? To install you "
    "must accept the Limitation of Liability . If  you choose No, install will close.";

}  // namespace

Disclaimer::Disclaimer(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Disclaimer"));
  setWindowTitle(QStringLiteral("Drossgate setup"));
  Label1 = new QLabel(kNotice);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label2 = new QLabel(kQuestion);
  Label2->setObjectName(QStringLiteral("Label2"));
  for (QLabel* label : {Label1, Label2}) {
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  }
  Command1 = new QPushButton(QStringLiteral("Yes"));
  Command1->setObjectName(QStringLiteral("Command1"));
  // Drawn as the button Return presses.
  Command1->setDefault(true);
  Command2 = new QPushButton(QStringLiteral("No"));
  Command2->setObjectName(QStringLiteral("Command2"));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 16, 16, 16);
  layout->setSpacing(12);
  layout->addWidget(Label1, 3);
  layout->addWidget(Label2, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(Command1);
  buttons->addWidget(Command2);
  layout->addLayout(buttons);
  resize(360, 360);

  connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
  connect(Command2, &QPushButton::clicked, this, [this] { Command2_Click(); });
}

void Disclaimer::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      // As a dialog's default button: "Yes", unless the focus is on "No".
      (focusWidget() == Command2 ? Command2 : Command1)->click();
      return;
    case Qt::Key_Escape:
      Command2->click();
      return;
    default:
      QWidget::keyPressEvent(event);
  }
}

void Disclaimer::Command1_Click() {
  {
    Hourglass hourglass;
    emit accepted();
  }
  close();
}

void Disclaimer::Command2_Click() {
  emit declined();
}

}  // namespace drossgate::setup
