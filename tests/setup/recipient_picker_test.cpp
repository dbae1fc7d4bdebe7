// The forwarding recipient picker on the demo directory: rows and kinds, one row per address,
// the order and its toggles by header clicks, the result in the row that opened it, and an
// empty list when the directory fails.

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "InstallForm.h"
#include "SelectRecipient.h"
#include "setup_fixture.h"
#include "testsupport.h"
#include "text.h"

namespace drossgate::setup {
namespace {

namespace dir = platform::directory;
using test::OpenForm;
using test::SetupPlatform;
constexpr int kName = SelectRecipient::kNameColumn;
constexpr int kMail = SelectRecipient::kMailColumn;

std::string DomainDn(const std::string& domain) {
  return "DC=" + text::ReplaceAll(domain, ".", ",DC=");
}

// Contacts imported with the platform tool: two repeating Ada's address (one in capitals) and
// one whose address is a blank.
void ImportExtraRecipients(const SetupPlatform& platform) {
  const std::string base = DomainDn(platform.domain());
  std::string ldif;
  for (const auto& [name, mail] : {std::pair<std::string, std::string>{
                                       "Zoe Duplicate", "mail: ada.lindqvist@" + platform.domain()},
                                   {"Yann Capitals", "mail: ADA.LINDQVIST@" + platform.domain()},
                                   {"Blank Address", "mail:: IA=="}})
    ldif += "dn: CN=" + name + ",CN=Users," + base +
            "\nobjectClass: person\nobjectClass: contact\n" + "cn: " + name + "\nname: " + name +
            "\n" + mail + "\nmAPIRecipient: TRUE\n" +
            "objectCategory: CN=Person,CN=Schema,CN=Configuration," + base + "\n\n";
  testing::WriteFile(platform.workDir() / "extra.ldif", ldif);
  const testing::ProcessResult result = testing::RunPlatformTool(
      platform.root(), {"directory", "import", (platform.workDir() / "extra.ldif").string()});
  ASSERT_EQ(result.exitCode, 0) << result.err;
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

TEST(RecipientPicker, RowsByKindOnePerAddressSortedByName) {
  SetupPlatform platform;
  ImportExtraRecipients(platform);
  auto form = OpenForm();
  SelectRecipient picker(*form, 0);
  picker.Form_Activate();
  const QTreeWidget& list = *picker.ListView1;
  const std::string d = platform.domain();
  struct Case {
    const char* name;
    std::string mail;
    const char* kind;
    std::string dnStart;
  };
  const std::vector<Case> cases = {
      {"Ada Lindqvist", "ada.lindqvist@" + d, "user", "CN=Ada Lindqvist,CN=Users,"},
      {"Carla Diaz", "carla.diaz@" + d, "userdisabled", "CN=Carla Diaz,"},
      {"Support Team", "support@" + d, "group", "CN=Support Team,"},
      {"Erik Partner", "erik@partner.example.net", "contact", "CN=Erik Partner,"},
      {"Shared Reports", "reports@" + d, "pf", "CN=Shared Reports,"},
      {"Blank Address", " ", "contact", "CN=Blank Address,"},
  };
  for (const Case& c : cases) {
    QTreeWidgetItem* row = picker.RowByKey(QString::fromStdString(c.mail));
    ASSERT_NE(row, nullptr) << c.name;
    EXPECT_EQ(row->text(kName).toStdString(), c.name);
    EXPECT_EQ(
        row->text(SelectRecipient::kDistinguishedNameColumn).toStdString().rfind(c.dnStart, 0), 0u);
    EXPECT_EQ(row->data(0, SelectRecipient::kKindRole).toString(), c.kind) << c.name;
    EXPECT_EQ(row->data(0, SelectRecipient::kTagRole).toString(),
              c.kind == std::string("pf") ? "pf" : "");
  }
  // Seven demo recipients and the blank address: no system mailbox, no second row for Ada's
  // address in either spelling, and the mailbox without an address is no recipient.
  const std::vector<std::string> names = ColumnTexts(list, kName);
  EXPECT_EQ(names, (std::vector<std::string>{"Ada Lindqvist", "Blank Address", "Bruno Keller",
                                             "Carla Diaz", "Erik Partner", "Shared Reports",
                                             "Spam Desk", "Support Team"}));
  ASSERT_FALSE(platform.SystemMailboxAliases().empty());

  EXPECT_EQ(list.header()->sectionSize(SelectRecipient::kDistinguishedNameColumn), 0);
  ASSERT_EQ(list.selectedItems().size(), 1);
  EXPECT_EQ(list.selectedItems().front(), list.topLevelItem(0));
  // The bar moved once per record (the skipped ones too) and is gone; the list redraws again.
  const int skipped = static_cast<int>(platform.SystemMailboxAliases().size()) + 2;
  EXPECT_EQ(form->globals().ProgressCount, list.topLevelItemCount() + skipped);
  EXPECT_FALSE(picker.Picture1->isVisibleTo(&picker));
}

TEST(RecipientPicker, HeaderClicksToggleTheOrderAndKeepTheSelection) {
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
  SetupPlatform platform;
  auto form = OpenForm();
  SelectRecipient picker(*form, 0);
  picker.Form_Activate();
  picker.show();
  QTreeWidget& list = *picker.ListView1;
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
    EXPECT_EQ(header.sortIndicatorSection(), s.column) << "step " << i;
    EXPECT_EQ(header.sortIndicatorOrder(), s.order) << "step " << i;
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

TEST(RecipientPicker, BrowseButtonOfAForwardRowOpensItModally) {
  SetupPlatform platform;
  auto form = OpenForm();
  const RuleRow& row = form->ui().rows[2];
  row.txtSpamTag->setText(QStringLiteral("Subject: [SPAM]"));
  row.List1->setCurrentIndex(kActionForward);
  ASSERT_TRUE(row.cmdBrowse->isEnabled());
  QTimer::singleShot(0, [&] {
    if (auto* picker = qobject_cast<SelectRecipient*>(QApplication::activeModalWidget())) {
      picker->Form_Activate();
      Select(*picker, "Spam Desk");
      QTest::mouseClick(picker->Command1, Qt::LeftButton);
    }
  });
  row.cmdBrowse->click();
  EXPECT_EQ(row.txtSpamFolder->text().toStdString(),
            "Spam Desk <spamdesk@" + platform.domain() + ">");
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

TEST(RecipientKind, FromTheAccountAttributes) {
  const dir::Value none;
  const auto v = [](const char* s) { return dir::Value::Text(s); };
  EXPECT_EQ(RecipientKind(v("805306368"), v("512"), none), "user");
  EXPECT_EQ(RecipientKind(v("805306368"), v("66050"), none), "userdisabled");
  EXPECT_EQ(RecipientKind(v("805306368"), none, none), "user");
  EXPECT_EQ(RecipientKind(v("268435456"), none, none), "group");
  EXPECT_EQ(RecipientKind(v("268435457"), none, none), "group");
  EXPECT_EQ(RecipientKind(v("536870912"), none, v("TRUE")), "contact");
  EXPECT_EQ(RecipientKind(none, none, v("FALSE")), "contact");
  EXPECT_EQ(RecipientKind(none, none, none), "pf");
}

}  // namespace
}  // namespace drossgate::setup
