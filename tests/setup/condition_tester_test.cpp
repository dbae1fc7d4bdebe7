// The condition tester: the pattern it takes from each form of a rule's condition, its answers
// (the sink's condition test), the result hidden while the pointer is over a text box, the
// hidden Test buttons that open it, and --test-condition as a process.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ConditionTester.h"
#include "InstallForm.h"
#include "frmTest.h"
#include "setup_fixture.h"
#include "testsupport.h"

namespace drossgate::setup {
namespace {

using test::SetupPlatform;

std::unique_ptr<InstallForm> OpenForm() {
  auto form = std::make_unique<InstallForm>(SetupOptions{});
  form->Form_Load();
  form->Form_Activate();
  return form;
}

QColor TextColour(const QLabel* label) {
  return label->palette().color(QPalette::WindowText);
}

void MovePointerOver(QWidget* widget) {
  const QPointF at(widget->width() / 2.0, widget->height() / 2.0);
  QMouseEvent move(QEvent::MouseMove, at, widget->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                   Qt::NoModifier);
  QApplication::sendEvent(widget, &move);
}

TEST(ConditionTester, TakesThePatternOfTheRowsCondition) {
  struct Case {
    const char* name;
    const char* condition;
    const char* pattern;
  };
  const std::vector<Case> cases = {
      {"subject header", "Subject: [SPAM]", "[SPAM]"},
      {"flag header", "X-Spam-Flag: YES", "YES"},
      {"comparison of the score", "IMFSCL: {> 3}", "{> 3}"},
      {"only the first colon separates", "X-Note:   re: offer  ", "re: offer"},
      {"nothing before the colon", ":yes", "yes"},
      {"nothing after the colon", "Subject:", ""},
      {"no colon: the whole text as it stands", " {*}spam{*} ", " {*}spam{*} "},
  };
  SetupPlatform platform;
  auto form = OpenForm();
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    const int row = static_cast<int>(i % form->ui().rows.size());
    form->ui().rows[row].txtSpamTag->setText(QString::fromUtf8(c.condition));
    frmTest tester(*form, row);
    EXPECT_EQ(tester.windowTitle(), "Test a condition");
    EXPECT_EQ(tester.Text1->text().toStdString(), c.pattern);
    EXPECT_TRUE(tester.Text2->text().isEmpty());
    EXPECT_EQ(tester.Label4->text(), "???");
    EXPECT_EQ(TextColour(tester.Label4),
              QApplication::palette(tester.Label4).color(QPalette::WindowText));
  }
}

TEST(ConditionTester, AnswersAsTheSinkDecides) {
  struct Case {
    const char* name;
    const char* pattern;
    const char* value;
    bool matches;
  };
  const std::vector<Case> cases = {
      // The matcher alone refuses these: "[SPAM]" has no wildcard, "{5}" no operator.
      {"value begins with the pattern in another case", "[SPAM]", "[spam] cheap offer", true},
      {"prefix taken literally before any comparison", "{5}", "{5} apples", true},
      {"pattern only inside the value", "[SPAM]", "Offer [SPAM]", false},
      {"number above the bound", "{> 3}", "5", true},
      {"the bound itself is not above it", "{> 3}", "3", false},
      {"blanks around pattern and value", "  {> 3} ", " 4 ", true},
      {"range", "{> 2 < 7}", "6.9", true},
      {"an empty rest after the number is not required", "{> 5}", "7.2 (+)", true},
      {"a minus after the number belongs to the rest", "{> 3}pts", "5-pts", false},
      {"empty pattern, any value", "", "anything", true},
      {"empty pattern, empty value", "", "", false},
      {"blank value counts as empty", "YES", "   ", false},
      {"match-all wildcard with an empty value", "{*}", "", false},
      {"different word", "YES", "NO", false},
  };
  SetupPlatform platform;
  auto form = OpenForm();
  frmTest tester(*form, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tester.Text1->setText(QString::fromUtf8(c.pattern));
    tester.Text2->setText(QString::fromUtf8(c.value));
    QTest::mouseClick(tester.Command1, Qt::LeftButton);
    EXPECT_EQ(tester.Label4->text().toStdString(), c.matches ? "Matches" : "DOESN'T match");
    EXPECT_EQ(TextColour(tester.Label4), c.matches ? QColor(0, 255, 0) : QColor(255, 0, 0));
    EXPECT_EQ(TestCondition(c.pattern, c.value), c.matches);
  }
}

TEST(ConditionTester, PointerOverATextBoxHidesTheResult) {
  SetupPlatform platform;
  auto form = OpenForm();
  frmTest tester(*form, 0);
  tester.show();
  tester.Text2->setText(QStringLiteral("yes please"));
  for (QLineEdit* box : {tester.Text1, tester.Text2}) {
    SCOPED_TRACE(box->objectName().toStdString());
    QTest::mouseClick(tester.Command1, Qt::LeftButton);
    ASSERT_EQ(tester.Label4->text(), "Matches");
    MovePointerOver(box);
    EXPECT_EQ(tester.Label4->text(), "???");
    EXPECT_EQ(TextColour(tester.Label4), tester.palette().color(QPalette::Button));
    QTest::mouseClick(tester.Command1, Qt::LeftButton);
    EXPECT_EQ(tester.Label4->text(), "Matches");
    EXPECT_EQ(TextColour(tester.Label4), QColor(0, 255, 0));
  }
  // Nothing typed in the tester goes back into the rule.
  EXPECT_EQ(form->ui().rows[0].txtSpamTag->text(), "X-Spam-Flag: YES");
}

TEST(ConditionTester, HiddenTestButtonOpensItOnItsRow) {
  SetupPlatform platform;
  auto form = OpenForm();
  const RuleRow& row = form->ui().rows[2];
  row.txtSpamTag->setText(QStringLiteral("IMFSCL: {> 3}"));
  EXPECT_FALSE(row.btnTest->isVisible());
  std::string shownPattern = "(no tester)";
  bool modal = false;
  QTimer::singleShot(0, [&] {
    auto* tester = qobject_cast<frmTest*>(QApplication::activeModalWidget());
    if (!tester) return;
    shownPattern = tester->Text1->text().toStdString();
    modal = tester->isModal();
    tester->close();
  });
  row.btnTest->click();
  EXPECT_EQ(shownPattern, "{> 3}");
  EXPECT_TRUE(modal);
}

TEST(ConditionTester, ScreenshotIsLegible) {
  ASSERT_TRUE(QFontMetrics(QApplication::font()).inFont(QLatin1Char('A')));
  SetupPlatform platform;
  auto form = OpenForm();
  frmTest tester(*form, 0);
  tester.show();
  tester.Text2->setText(QStringLiteral("YES"));
  QTest::mouseClick(tester.Command1, Qt::LeftButton);
  // Every control inside the window and none on top of another.
  const std::vector<QWidget*> controls = {tester.Label1, tester.Text1,    tester.Label2,
                                          tester.Text2,  tester.Command1, tester.Label3,
                                          tester.Label4};
  for (size_t i = 0; i < controls.size(); ++i) {
    EXPECT_TRUE(tester.rect().contains(controls[i]->geometry())) << i;
    for (size_t j = i + 1; j < controls.size(); ++j)
      EXPECT_FALSE(controls[i]->geometry().intersects(controls[j]->geometry())) << i << " " << j;
  }
  const std::filesystem::path dir =
      std::filesystem::path(DROSSGATE_BINARY_DIR) / "tests" / "setup" / "screenshots";
  std::filesystem::create_directories(dir);
  EXPECT_TRUE(tester.grab().save(QString::fromStdString((dir / "frmTest.png").string())));
}

// --- As a process -------------------------------------------------------------------------

TEST(ConditionTestCommand, AnswersWithoutPlatformOrDisplay) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    int exitCode;
    const char* out;
    const char* err;
  };
  const std::vector<Case> cases = {
      {"number above the bound", {"--test-condition", "IMFSCL: {> 3}", "5"}, 0, "Matches\n", ""},
      {"the bound itself", {"--test-condition", "IMFSCL: {> 3}", "3"}, 1, "DOESN'T match\n", ""},
      {"value -1 below the bound", {"--test-condition", "X-SCL: {< 2}", "-1"}, 0, "Matches\n", ""},
      {"value -1 not above the bound",
       {"--test-condition", "IMFSCL: {> 3}", "-1"},
       1,
       "DOESN'T match\n",
       ""},
      {"condition beginning with a dash, taken whole",
       {"--test-condition", "-b", "-B and more"},
       0,
       "Matches\n",
       ""},
      {"condition that looks like a long option",
       {"--test-condition", "--x: y", "Y"},
       0,
       "Matches\n",
       ""},
      {"prefix in another case",
       {"--test-condition", "Subject: [SPAM]", "[spam] offer"},
       0,
       "Matches\n",
       ""},
      {"empty value", {"--test-condition", "Subject:", ""}, 1, "DOESN'T match\n", ""},
      {"after the batch switch", {"-b", "--test-condition", "YES", "yes"}, 0, "Matches\n", ""},
      {"value missing", {"--test-condition", "Subject: x"}, 2, "", "needs CONDITION VALUE"},
      {"unknown option beside it",
       {"--test-condition", "a", "a", "--bogus"},
       2,
       "",
       "unknown option '--bogus'"},
  };
  const testing::TempDir empty;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv = {(testing::BinaryDir() / "setup" / "DrossgateSetup").string()};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    const testing::ProcessResult result =
        testing::RunProcess(argv, {{"DROSSGATE_PLATFORM", (empty.path() / "none").string()},
                                   {"QT_QPA_PLATFORM", ""},
                                   {"DISPLAY", ""},
                                   {"WAYLAND_DISPLAY", ""}});
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_EQ(result.out, c.out);
    EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
  }
}

}  // namespace
}  // namespace drossgate::setup
