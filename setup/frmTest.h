#pragma once
// The condition tester: shows the pattern of one rule row of the main window, takes a sample
// value and tells whether the sink's condition test would accept it. It only reads the main
// window; nothing typed here goes back into the rule. It cannot fail.

#include <QDialog>

#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

namespace drossgate::setup {

class InstallForm;

class frmTest : public QDialog {
  Q_OBJECT

 public:
  // Loads the pattern of the main window's rule row `row`, the row whose Test button opened
  // the tester; an unknown row leaves the pattern empty.
  frmTest(const InstallForm& owner, int row, QWidget* parent = nullptr);

  // "Test": shows "Matches" in green or "DOESN'T match" in red.
  void Command1_Click();

  QLineEdit* Text1 = nullptr;  // the pattern under test
  QLineEdit* Text2 = nullptr;  // the sample value
  QPushButton* Command1 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label4 = nullptr;       // the result
  QLabel* lblWarnings = nullptr;  // what makes the pattern do less or more than it says

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Form_Load(const InstallForm& owner, int row);
  void ShowResult(const QString& text, const QColor& colour);

  std::string headerName_;  // of the row's condition: some warnings depend on it
};

}  // namespace drossgate::setup
