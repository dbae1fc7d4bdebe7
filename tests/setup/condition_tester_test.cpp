// The condition tester: the pattern it takes from a rule's condition, its answers (the sink's
// condition test), the result hidden under the pointer, the hidden Test button that opens it,
// and --test-condition as a process without platform or display.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <string>
#include <vector>

#include "DrossgateModule.h"
#include "InstallForm.h"
#include "condition_cases.h"
#include "fake_record.h"
#include "frmTest.h"
#include "setup_fixture.h"
#include "testsupport.h"

namespace drossgate::setup {
namespace {

using test::OpenForm;

// The row's hidden Test button opens the tester modally, with the pattern of that row's
// condition.
TEST(ConditionTester, OpensOnItsRowWithThePatternOfItsCondition) {
  struct Case {
    const char* condition;
    const char* pattern;
  };
  const std::vector<Case> cases = {
      {"Subject: [SPAM]", "[SPAM]"},
      {"X-Spam-Flag: YES", "YES"},
      {"IMFSCL: {> 3}", "{> 3}"},
      {"X-Note:   re: offer  ", "re: offer"},
      {"Subject:", ""},
      {" {*}spam{*} ", " {*}spam{*} "},  // no ":": as is
  };
  test::SetupPlatform platform;
  auto form = OpenForm();
  for (size_t i = 0; i < cases.size(); ++i) {
    const RuleRow& row = form->ui().rows[i % 4];
    row.txtSpamTag->setText(cases[i].condition);
    std::string shown = "(no modal tester)";
    QTimer::singleShot(0, [&] {
      if (auto* tester = qobject_cast<frmTest*>(QApplication::activeModalWidget())) {
        shown = tester->Text1->text().toStdString();
        tester->close();
      }
    });
    EXPECT_FALSE(row.btnTest->isVisible());
    row.btnTest->click();
    EXPECT_EQ(shown, cases[i].pattern) << cases[i].condition;
  }
}

// The tester and the sink give the same answer on every row of the matcher's tables; the
// sink's is its rule evaluation on a delivered subject.
TEST(ConditionTester, AnswersAsTheSinkDecides) {
  test::SetupPlatform platform;
  auto form = OpenForm();
  frmTest tester(*form, 0);
  std::vector<common::test::MatchCase> rows = common::test::ConditionExamples();
  for (const auto& c : common::test::ConditionEdges()) rows.push_back(c);
  for (const auto& c : rows) {
    SCOPED_TRACE(c.name);
    tester.Text1->setText(QString::fromStdString(c.pattern));
    tester.Text2->setText(QString::fromStdString(c.value));
    QTest::mouseClick(tester.Command1, Qt::LeftButton);
    const bool shown = tester.Label4->text() == "Matches";

    testing::FakeRecord record;
    if (!c.value.empty()) record.fields.Set(sink::kSubjectField, c.value);
    sink::SinkSettings settings = sink::ParseConstructorString("Junk\rSubject: " + c.pattern);
    const bool sinkMatches = sink::EvaluateRules(record, settings) == 0;
    EXPECT_EQ(shown, sinkMatches);
    EXPECT_EQ(sinkMatches, c.expected);
  }
}

TEST(ConditionTester, ShowsTheWarningsUnderItsResult) {
  test::SetupPlatform platform;
  auto form = OpenForm();
  form->ui().rows[1].txtSpamTag->setText("IMFSCL: {> 9}");
  frmTest tester(*form, 1);
  tester.Text2->setText("9");
  QTest::mouseClick(tester.Command1, Qt::LeftButton);
  EXPECT_FALSE(tester.lblWarnings->isHidden());
  EXPECT_TRUE(tester.lblWarnings->text().contains("no spam confidence level"))
      << tester.lblWarnings->text().toStdString();
  tester.Text1->setText("{> 5}");
  QTest::mouseClick(tester.Command1, Qt::LeftButton);
  EXPECT_TRUE(tester.lblWarnings->isHidden());
}

TEST(ConditionTester, PointerOverATextBoxHidesTheResult) {
  test::SetupPlatform platform;
  auto form = OpenForm();
  frmTest tester(*form, 0);
  tester.show();
  tester.Text2->setText(QStringLiteral("yes please"));
  for (QLineEdit* box : {tester.Text1, tester.Text2}) {
    QTest::mouseClick(tester.Command1, Qt::LeftButton);
    ASSERT_EQ(tester.Label4->text(), "Matches");
    const QPointF at(box->width() / 2.0, box->height() / 2.0);
    QMouseEvent move(QEvent::MouseMove, at, box->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(box, &move);
    EXPECT_EQ(tester.Label4->text(), "???");
  }
  // Nothing typed in the tester goes back into the rule.
  EXPECT_EQ(form->ui().rows[0].txtSpamTag->text(), "X-Spam-Flag: YES");

  ASSERT_TRUE(QFontMetrics(QApplication::font()).inFont(QLatin1Char('A')));
  QTest::mouseClick(tester.Command1, Qt::LeftButton);
  test::ExpectNoOverlaps({tester.Label1, tester.Text1, tester.Label2, tester.Text2, tester.Command1,
                          tester.Label3, tester.Label4});
}

TEST(ConditionTestCommand, AnswersWithoutPlatformOrDisplay) {
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    const char* out;
    const char* err;
  };
  const std::vector<Case> cases = {
      {{"IMFSCL: {> 3}", "5"}, 0, "Matches\n", ""},
      {{"IMFSCL: {> 3}", "3"}, 1, "DOESN'T match\n", ""},
      {{"-b", "-B and more"}, 0, "Matches\n", ""},  // a condition that looks like a switch
      {{"--x: y", "Y"}, 0, "Matches\n", ""},        // and one that looks like an option
      {{"Subject:", ""}, 1, "DOESN'T match\n", ""},
      {{"Subject: x"}, 64, "", "needs CONDITION VALUE"},
      // The rule language's warnings go with the answer; --strict makes them fail it.
      {{"Subject: {*}[SPAM]{*}", "Hello Sam"}, 0, "Matches\n", "warning: the pattern"},
      {{"Subject: {*}[SPAM]{*}", "Hello Sam", "--strict"}, 1, "Matches\n", "list of characters"},
      {{"IMFSCL: {> 9}", "5", "--strict"}, 1, "DOESN'T match\n", "warning: no spam confidence"},
  };
  const testing::TempDir empty;
  for (const Case& c : cases) {
    std::vector<std::string> arguments = {"--test-condition"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const testing::ProcessResult result =
        test::RunSetupProgram(arguments, (empty.path() / "none").string(), "",
                              {{"QT_QPA_PLATFORM", ""}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}});
    EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments[0] << ": " << result.err;
    EXPECT_EQ(result.out, c.out) << c.arguments[0];
    EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
  }
}

}  // namespace
}  // namespace drossgate::setup
