#pragma once
// The liability window that opens first: "Yes" (or Return) opens the main window, "No" (or
// Escape) ends the program.

#include <QWidget>

class QKeyEvent;
class QLabel;
class QPushButton;

namespace drossgate::setup {

class Disclaimer : public QWidget {
  Q_OBJECT

 public:
  explicit Disclaimer(QWidget* parent = nullptr);

  QLabel* Label1 = nullptr;         // the notice
  QLabel* Label2 = nullptr;         // the question
  QPushButton* Command1 = nullptr;  // "Yes"
  QPushButton* Command2 = nullptr;  // "No"

 signals:
  // The terms were accepted: the main window is to open (while the hourglass shows).
  void accepted();
  // The terms were declined: the program is to end.
  void declined();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Command1_Click();
  void Command2_Click();
};

}  // namespace drossgate::setup
