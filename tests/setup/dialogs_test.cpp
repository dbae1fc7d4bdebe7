// The rule row's dialogs on the demo platform: the condition tester (and --test-condition as a
// process without platform or display) and the forwarding recipient picker.

#include <QComboBox>
#include <QHeaderView>
#include <QMouseEvent>
#include <QProgressBar>
#include <QTreeWidget>

#include <algorithm>

#include "DrossgateModule.h"
#include "SelectRecipient.h"
#include "condition_cases.h"
#include "fake_record.h"
#include "frmTest.h"
#include "setup_fixture.h"
#include "text.h"

namespace drossgate::setup {
namespace {

using test::OpenForm;
using test::SetupPlatform;

// The row's hidden Test button opens the tester modally, with the pattern of that row's
// condition.
TEST(ConditionTester, OpensOnItsRowWithThePatternOfItsCondition) {
  SetupPlatform platform;
  auto form = OpenForm();
  const RuleRow& row = form->ui().rows[2];
  row.txtSpamTag->setText("X-Spam-Flag:  YES ");
  std::string shown = "(no modal tester)";
  QTimer::singleShot(0, [&] {
    if (auto* tester = qobject_cast<frmTest*>(QApplication::activeModalWidget())) {
      shown = tester->Text1->text().toStdString();
      tester->close();
    }
  });
  EXPECT_FALSE(row.btnTest->isVisible());
  row.btnTest->click();
  EXPECT_EQ(shown, "YES");
}

// Its warnings show under its answer, nothing typed in it goes back into the rule, and the
// window is legible. It gives the sink's answer (its rule evaluation on a delivered subject) on
// every row of the matcher's tables.
TEST(ConditionTester, ShowsTheWarningsUnderTheSinksAnswer) {
  SetupPlatform platform;
  auto form = OpenForm();
  form->ui().rows[1].txtSpamTag->setText("IMFSCL: {> 9}");
  frmTest tester(*form, 1);
  tester.show();
  tester.Text2->setText("9");
  QTest::mouseClick(tester.Command1, Qt::LeftButton);
  EXPECT_FALSE(tester.lblWarnings->isHidden());
  EXPECT_TRUE(tester.lblWarnings->text().contains("no spam confidence level"))
      << tester.lblWarnings->text().toStdString();
  ASSERT_TRUE(QFontMetrics(QApplication::font()).inFont(QLatin1Char('A')));
  test::ExpectNoOverlaps({tester.Label1, tester.Text1, tester.Label2, tester.Text2, tester.Command1,
                          tester.Label3, tester.Label4});

  tester.Text1->setText("{> 5}");
  QTest::mouseClick(tester.Command1, Qt::LeftButton);
  EXPECT_TRUE(tester.lblWarnings->isHidden());
  EXPECT_EQ(tester.Label4->text(), "Matches");
  EXPECT_EQ(form->ui().rows[1].txtSpamTag->text(), "IMFSCL: {> 9}");

  frmTest onSubject(*form, 0);
  std::vector<common::test::MatchCase> rows = common::test::ConditionExamples();
  for (const auto& c : common::test::ConditionEdges()) rows.push_back(c);
  for (const auto& c : rows) {
    SCOPED_TRACE(c.name);
    onSubject.Text1->setText(QString::fromStdString(c.pattern));
    onSubject.Text2->setText(QString::fromStdString(c.value));
    QTest::mouseClick(onSubject.Command1, Qt::LeftButton);
    const bool shown = onSubject.Label4->text() == "Matches";

    testing::FakeRecord record;
    if (!c.value.empty()) record.fields.Set(sink::kSubjectField, c.value);
    sink::SinkSettings settings = sink::ParseConstructorString("Junk\rSubject: " + c.pattern);
    const bool sinkMatches = sink::EvaluateRules(record, settings) == 0;
    EXPECT_EQ(shown, sinkMatches);
    EXPECT_EQ(sinkMatches, c.expected);
  }
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

constexpr int kName = SelectRecipient::kNameColumn;
constexpr int kMail = SelectRecipient::kMailColumn;

// Contacts with no mailbox here: two repeating Ada's address (one in capitals) and one whose
// address is a blank.
void ImportExtraRecipients(SetupPlatform& platform) {
  const std::string ada = "ada.lindqvist@" + platform.domain();
  platform.AddPeople({{.cn = "Zoe Duplicate", .mail = ada, .inStore = false},
                      {.cn = "Yann Capitals", .mail = text::ToUpper(ada), .inStore = false},
                      {.cn = "Blank Address", .mail = " ", .inStore = false}});
}

std::vector<std::string> ColumnTexts(const QTreeWidget& list, int column) {
  std::vector<std::string> texts;
  for (int i = 0; i < list.topLevelItemCount(); ++i)
    texts.push_back(list.topLevelItem(i)->text(column).toStdString());
  return texts;
}

bool Sorted(std::vector<std::string> texts, Qt::SortOrder order) {
  if (order == Qt::DescendingOrder) std::reverse(texts.begin(), texts.end());
  return std::is_sorted(texts.begin(), texts.end(), [](const std::string& a, const std::string& b) {
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) < 0;
  });
}

void Select(SelectRecipient& picker, const char* name) {
  const auto found = picker.ListView1->findItems(name, Qt::MatchExactly, kName);
  ASSERT_EQ(found.size(), 1) << name;
  picker.ListView1->setCurrentItem(found.front());
}

TEST(RecipientPicker, RowsByKindOnePerAddressInTheOrderChosen) {
  SetupPlatform platform;
  ImportExtraRecipients(platform);
  auto form = OpenForm();
  SelectRecipient picker(*form, 0);
  picker.Form_Activate();
  QTreeWidget& list = *picker.ListView1;
  const std::string d = platform.domain();
  // Seven demo recipients of each kind and the blank address: no system mailbox, no second row
  // for Ada's address in either spelling, and the mailbox without an address is no recipient.
  EXPECT_EQ(
      ColumnTexts(list, kName),
      (std::vector<std::string>{"Ada Lindqvist", "Blank Address", "Bruno Keller", "Carla Diaz",
                                "Erik Partner", "Shared Reports", "Spam Desk", "Support Team"}));
  EXPECT_EQ(ColumnTexts(list, kMail),
            (std::vector<std::string>{"ada.lindqvist@" + d, " ", "bruno.keller@" + d,
                                      "carla.diaz@" + d, "erik@partner.example.net", "reports@" + d,
                                      "spamdesk@" + d, "support@" + d}));
  // Found by its address, its distinguished name in the hidden column.
  EXPECT_TRUE(picker.RowByKey("erik@partner.example.net")
                  ->text(SelectRecipient::kDistinguishedNameColumn)
                  .startsWith("CN=Erik Partner,"));
  ASSERT_FALSE(platform.SystemMailboxAliases().empty());
  ASSERT_EQ(list.selectedItems().size(), 1);
  EXPECT_EQ(list.selectedItems().front(), list.topLevelItem(0));
  EXPECT_FALSE(picker.Picture1->isVisibleTo(&picker));  // the progress bar is gone

  // Header clicks toggle the order and keep the selection.
  struct Step {
    int click;
    int column;  // sorted by afterwards
    Qt::SortOrder order;
  };
  const std::vector<Step> steps = {
      {kName, kName, Qt::DescendingOrder},
      {kMail, kMail, Qt::AscendingOrder},
      {kMail, kMail, Qt::DescendingOrder},
      {1, kMail, Qt::DescendingOrder},  // the hidden column does nothing
  };
  picker.show();
  QHeaderView& header = *list.header();
  Select(picker, "Erik Partner");
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    if (header.isSectionHidden(s.click))
      picker.ListView1_ColumnClick(s.click);
    else
      QTest::mouseClick(header.viewport(), Qt::LeftButton, {},
                        QPoint(header.sectionViewportPosition(s.click) + 8, header.height() / 2));
    EXPECT_TRUE(Sorted(ColumnTexts(list, s.column), s.order)) << "step " << i;
    EXPECT_EQ(list.selectedItems().value(0, nullptr), list.currentItem()) << "step " << i;
    EXPECT_EQ(list.currentItem()->text(kName), "Erik Partner") << "step " << i;
  }
  // A refill selects the row remembered at the last sort.
  list.clearSelection();
  picker.GetList();
  ASSERT_EQ(list.selectedItems().size(), 1);
  EXPECT_EQ(list.selectedItems().front()->text(kName), "Erik Partner");
}

TEST(RecipientPicker, ChoiceGoesIntoTheRowThatOpenedIt) {
  enum class How { kOk, kDoubleClick, kCancel, kNothingSelected };
  struct Case {
    const char* recipient;
    How how;
    std::string target;  // afterwards; "before" until then
  };
  SetupPlatform platform;
  ImportExtraRecipients(platform);
  auto form = OpenForm();
  const std::string d = platform.domain();
  const std::vector<Case> cases = {
      {"Shared Reports", How::kDoubleClick, "Shared Reports <reports@" + d + ">"},
      {"Blank Address", How::kOk, "Blank Address"},
      {"Spam Desk", How::kCancel, "before"},
      {"Spam Desk", How::kNothingSelected, "before"},
  };
  for (const Case& c : cases) {
    for (const RuleRow& row : form->ui().rows) row.txtSpamFolder->setText(QStringLiteral("before"));
    SelectRecipient picker(*form, 1);
    picker.Form_Activate();
    picker.show();
    Select(picker, c.recipient);
    QWidget* viewport = picker.ListView1->viewport();
    const QPoint at = picker.ListView1->visualItemRect(picker.ListView1->currentItem()).center();
    switch (c.how) {
      case How::kNothingSelected:
        picker.ListView1->clearSelection();
        [[fallthrough]];
      case How::kOk:
        QTest::mouseClick(picker.Command1, Qt::LeftButton);
        break;
      case How::kDoubleClick:
        // The press that comes first with a real mouse.
        QTest::mouseClick(viewport, Qt::LeftButton, {}, at);
        QTest::mouseDClick(viewport, Qt::LeftButton, {}, at);
        break;
      case How::kCancel:
        QTest::mouseClick(picker.Command2, Qt::LeftButton);
        break;
    }
    EXPECT_EQ(form->ui().rows[1].txtSpamFolder->text().toStdString(), c.target) << c.recipient;
    for (int other : {0, 2, 3}) EXPECT_EQ(form->ui().rows[other].txtSpamFolder->text(), "before");
    EXPECT_FALSE(picker.isVisible());
  }
}

TEST(RecipientPicker, DirectoryFailureLeavesTheListEmpty) {
  for (const bool removeDirectory : {false, true}) {
    SetupPlatform platform;
    auto form = OpenForm();
    if (removeDirectory)
      std::filesystem::remove(platform.root() / "directory.ldif");
    else
      form->globals().DirectoryConnection->Close();
    form->ui().rows[0].txtSpamFolder->setText(QStringLiteral("before"));
    SelectRecipient picker(*form, 0);
    picker.Form_Activate();
    EXPECT_EQ(picker.ListView1->topLevelItemCount(), 0) << removeDirectory;
    QTest::mouseClick(picker.Command1, Qt::LeftButton);
    EXPECT_EQ(form->ui().rows[0].txtSpamFolder->text(), "before");
    EXPECT_TRUE(platform.messages.empty());
  }
}

// Found: the list stayed black while it filled, its drawing being suspended meanwhile. Once
// filled, its texts fit their columns and nothing overlaps.
TEST(RecipientPicker, SaysLoadingWhileItFillsThenIsLegible) {
  ASSERT_TRUE(QFontMetrics(QApplication::font()).inFont(QLatin1Char('A')));
  SetupPlatform platform;
  auto form = OpenForm();
  SelectRecipient picker(*form, 0);
  picker.show();
  bool duringTheFill = false;
  // Runs when the fill first lets the window's events run.
  QTimer::singleShot(0, [&] {
    duringTheFill = picker.Picture1->isVisible();
    const QLabel* loading = picker.findChild<QLabel*>("lblLoading");
    ASSERT_NE(loading, nullptr);
    EXPECT_TRUE(loading->isVisible());
    EXPECT_EQ(loading->text(), "Loading...");
    EXPECT_FALSE(picker.ListView1->isVisible());
  });
  for (int i = 0; i < 100 && picker.ListView1->topLevelItemCount() == 0; ++i) QTest::qWait(10);
  EXPECT_TRUE(duringTheFill);
  EXPECT_TRUE(picker.ListView1->isVisible());
  EXPECT_FALSE(picker.findChild<QLabel*>("lblLoading")->isVisible());

  const QTreeWidget& list = *picker.ListView1;
  for (int i = 0; i < list.topLevelItemCount(); ++i)
    for (int column : {kName, kMail})
      EXPECT_LE(list.fontMetrics().horizontalAdvance(list.topLevelItem(i)->text(column)),
                list.header()->sectionSize(column));
  test::ExpectNoOverlaps({picker.ListView1, picker.Command1, picker.Command2});
}

}  // namespace
}  // namespace drossgate::setup
