// The forwarding recipient picker on the demo directory: its rows and their kinds, one row per
// address, the sorting by header clicks, the result written into the row that opened it, and
// an empty list when the directory fails.

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "InstallForm.h"
#include "SelectRecipient.h"
#include "setup_fixture.h"
#include "testsupport.h"
#include "text.h"

namespace drossgate::setup {
namespace {

using test::SetupPlatform;
using Column = SelectRecipient::Column;

std::unique_ptr<InstallForm> OpenForm() {
  auto form = std::make_unique<InstallForm>(SetupOptions{});
  form->Form_Load();
  form->Form_Activate();
  return form;
}

std::string DomainDn(const std::string& domain) {
  std::string dn;
  for (const std::string& part : text::Split(domain, '.'))
    dn += (dn.empty() ? "DC=" : ",DC=") + part;
  return dn;
}

// Contacts added with drossgate-platform directory import: two that repeat Ada's address (the
// second in capitals) and one whose address is a blank.
void ImportExtraRecipients(const SetupPlatform& platform) {
  const std::string base = DomainDn(platform.domain());
  auto contact = [&](const std::string& name, const std::string& mailLine) {
    return "dn: CN=" + name + ",CN=Users," + base +
           "\nobjectClass: top\nobjectClass: person\nobjectClass: organizationalPerson\n"
           "objectClass: contact\ncn: " +
           name + "\nname: " + name + "\n" + mailLine + "\nmAPIRecipient: TRUE\n" +
           "objectCategory: CN=Person,CN=Schema,CN=Configuration," + base + "\n\n";
  };
  const std::string ldif =
      contact("Zoe Duplicate", "mail: ada.lindqvist@" + platform.domain()) +
      contact("Yann Capitals", "mail: ADA.LINDQVIST@" + text::ToUpper(platform.domain())) +
      contact("Blank Address", "mail:: IA==");
  const std::filesystem::path file = platform.workDir() / "extra.ldif";
  testing::WriteFile(file, ldif);
  const testing::ProcessResult result =
      testing::RunPlatformTool(platform.root(), {"directory", "import", file.string()});
  ASSERT_EQ(result.exitCode, 0) << result.err;
}

std::vector<std::string> ColumnTexts(const QTreeWidget& list, int column) {
  std::vector<std::string> texts;
  for (int i = 0; i < list.topLevelItemCount(); ++i)
    texts.push_back(list.topLevelItem(i)->text(column).toStdString());
  return texts;
}

QTreeWidgetItem* RowNamed(const QTreeWidget& list, const std::string& name) {
  for (int i = 0; i < list.topLevelItemCount(); ++i)
    if (list.topLevelItem(i)->text(Column::kNameColumn).toStdString() == name)
      return list.topLevelItem(i);
  return nullptr;
}

bool SortedNoCase(std::vector<std::string> texts, bool ascending) {
  auto less = [](const std::string& a, const std::string& b) {
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) < 0;
  };
  if (!ascending) std::reverse(texts.begin(), texts.end());
  return std::is_sorted(texts.begin(), texts.end(), less);
}

void ClickHeader(QTreeWidget& list, int column) {
  QHeaderView* header = list.header();
  const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                  header->height() / 2);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, at);
}

void Select(SelectRecipient& picker, const std::string& name) {
  QTreeWidgetItem* item = RowNamed(*picker.ListView1, name);
  ASSERT_NE(item, nullptr) << name;
  picker.ListView1->setCurrentItem(item);
}

TEST(RecipientPicker, RowsByKindOnePerAddress) {
  SetupPlatform platform;
  ImportExtraRecipients(platform);
  auto form = OpenForm();
  SelectRecipient picker(*form, 0);
  picker.Form_Activate();
  const QTreeWidget& list = *picker.ListView1;
  const std::string d = platform.domain();
  const std::string users = ",CN=Users," + DomainDn(d);

  struct Case {
    const char* name;
    std::string mail;
    const char* kind;
    std::string dn;
  };
  const std::vector<Case> cases = {
      {"Ada Lindqvist", "ada.lindqvist@" + d, "user", "CN=Ada Lindqvist" + users},
      {"Carla Diaz", "carla.diaz@" + d, "userdisabled", "CN=Carla Diaz" + users},
      {"Support Team", "support@" + d, "group", "CN=Support Team" + users},
      {"Erik Partner", "erik@partner.example.net", "contact", "CN=Erik Partner" + users},
      {"Shared Reports", "reports@" + d, "pf",
       "CN=Shared Reports,CN=Microsoft Exchange System Objects," + DomainDn(d)},
      {"Blank Address", " ", "contact", "CN=Blank Address" + users},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QTreeWidgetItem* row = picker.RowByKey(QString::fromStdString(c.mail));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->text(Column::kNameColumn).toStdString(), c.name);
    EXPECT_EQ(row->text(Column::kMailColumn).toStdString(), c.mail);
    EXPECT_EQ(row->text(Column::kDistinguishedNameColumn).toStdString(), c.dn);
    EXPECT_EQ(row->data(0, SelectRecipient::kKindRole).toString().toStdString(), c.kind);
    EXPECT_EQ(row->icon(0).cacheKey(), picker.ImageList2.value(c.kind).cacheKey());
    EXPECT_EQ(row->data(0, SelectRecipient::kTagRole).toString().toStdString(),
              std::string(c.kind) == "pf" ? "pf" : "");
  }

  const std::vector<std::string> names = ColumnTexts(list, Column::kNameColumn);
  auto listed = [&](const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  for (const std::string& alias : platform.SystemMailboxAliases()) EXPECT_FALSE(listed(alias));
  for (const std::string& name : names)
    EXPECT_FALSE(text::StartsWithNoCase(name, "SystemMailbox{"));
  // The first of a repeated address keeps it; a mailbox without an address is no recipient.
  EXPECT_FALSE(listed("Zoe Duplicate"));
  EXPECT_FALSE(listed("Yann Capitals"));
  EXPECT_FALSE(listed("Dmitri Orlov"));
  const std::vector<std::string> mails = ColumnTexts(list, Column::kMailColumn);
  EXPECT_EQ(std::count_if(
                mails.begin(), mails.end(),
                [&](const std::string& m) { return text::EqualsNoCase(m, "ada.lindqvist@" + d); }),
            1);
  EXPECT_EQ(names.size(), 8u);  // seven demo recipients and the blank address

  // Every record moved the bar once; the bar and the frozen list are back to normal.
  const int skipped = static_cast<int>(platform.SystemMailboxAliases().size()) + 2;
  EXPECT_EQ(form->globals().ProgressCount, list.topLevelItemCount() + skipped);
  EXPECT_FALSE(picker.Picture1->isVisibleTo(&picker));
  EXPECT_EQ(picker.Picture1->parentWidget(), picker.StatusBar1);
  EXPECT_TRUE(list.updatesEnabled());
}

TEST(RecipientPicker, ColumnsAndStartingOrder) {
  SetupPlatform platform;
  auto form = OpenForm();
  SelectRecipient picker(*form, 0);
  picker.Form_Activate();
  const QTreeWidget& list = *picker.ListView1;
  EXPECT_EQ(picker.windowTitle(), "Select Forwarding Recipient");
  ASSERT_EQ(list.columnCount(), 3);
  EXPECT_EQ(list.headerItem()->text(0), "Name");
  EXPECT_EQ(list.headerItem()->text(1), "Distinguished Name");
  EXPECT_EQ(list.headerItem()->text(2), "E-mail address");
  EXPECT_EQ(list.header()->sectionSize(Column::kDistinguishedNameColumn), 0);
  EXPECT_TRUE(SortedNoCase(ColumnTexts(list, Column::kNameColumn), true));
  EXPECT_EQ(list.header()->sortIndicatorSection(), Column::kNameColumn);
  EXPECT_EQ(list.header()->sortIndicatorOrder(), Qt::AscendingOrder);
  EXPECT_TRUE(list.header()->isSortIndicatorShown());
  ASSERT_EQ(list.selectedItems().size(), 1);
  EXPECT_EQ(list.selectedItems().front(), list.topLevelItem(0));
}

TEST(RecipientPicker, HeaderClicksToggleTheOrderAndKeepTheSelection) {
  struct Step {
    const char* name;
    int click;
    int column;  // sorted by
    Qt::SortOrder order;
  };
  const std::vector<Step> steps = {
      {"name again: descending", Column::kNameColumn, Column::kNameColumn, Qt::DescendingOrder},
      {"name once more: ascending", Column::kNameColumn, Column::kNameColumn, Qt::AscendingOrder},
      {"address: ascending", Column::kMailColumn, Column::kMailColumn, Qt::AscendingOrder},
      {"address again: descending", Column::kMailColumn, Column::kMailColumn, Qt::DescendingOrder},
      {"hidden column: nothing", Column::kDistinguishedNameColumn, Column::kMailColumn,
       Qt::DescendingOrder},
      {"name after address: ascending", Column::kNameColumn, Column::kNameColumn,
       Qt::AscendingOrder},
      {"address after name: ascending", Column::kMailColumn, Column::kMailColumn,
       Qt::AscendingOrder},
  };
  SetupPlatform platform;
  auto form = OpenForm();
  SelectRecipient picker(*form, 0);
  picker.Form_Activate();
  picker.show();
  QTreeWidget& list = *picker.ListView1;
  Select(picker, "Erik Partner");
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    if (s.click == Column::kDistinguishedNameColumn)
      picker.ListView1_ColumnClick(s.click);  // a hidden section takes no mouse click
    else
      ClickHeader(list, s.click);
    EXPECT_TRUE(SortedNoCase(ColumnTexts(list, s.column), s.order == Qt::AscendingOrder));
    EXPECT_EQ(list.header()->sortIndicatorSection(), s.column);
    EXPECT_EQ(list.header()->sortIndicatorOrder(), s.order);
    ASSERT_EQ(list.selectedItems().size(), 1);
    EXPECT_EQ(list.selectedItems().front()->text(0), "Erik Partner");
  }
  // A refill selects the row remembered at the last sort.
  list.clearSelection();
  picker.GetList();
  ASSERT_EQ(list.selectedItems().size(), 1);
  EXPECT_EQ(list.selectedItems().front()->text(0), "Erik Partner");
}

TEST(RecipientPicker, ChoiceGoesIntoTheRowThatOpenedIt) {
  enum class How { kOk, kDoubleClick, kCancel, kOkWithoutSelection };
  struct Case {
    const char* name;
    const char* recipient;
    How how;
    std::string expected;  // the row's target afterwards; it starts as "before"
  };
  const std::vector<Case> cases = {
      {"OK on a user", "Carla Diaz", How::kOk, "Carla Diaz <carla.diaz@"},
      {"double click on a public folder", "Shared Reports", How::kDoubleClick,
       "Shared Reports <reports@"},
      {"blank address: the bare name", "Blank Address", How::kOk, "Blank Address"},
      {"Cancel changes nothing", "Spam Desk", How::kCancel, "before"},
      {"OK with nothing selected", "Spam Desk", How::kOkWithoutSelection, "before"},
  };
  SetupPlatform platform;
  ImportExtraRecipients(platform);
  auto form = OpenForm();
  const std::string d = platform.domain();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const RuleRow& row : form->ui().rows) row.txtSpamFolder->setText(QStringLiteral("before"));
    SelectRecipient picker(*form, 1);
    picker.Form_Activate();
    picker.show();
    Select(picker, c.recipient);
    switch (c.how) {
      case How::kOk:
        QTest::mouseClick(picker.Command1, Qt::LeftButton);
        break;
      case How::kDoubleClick: {
        QTreeWidgetItem* item = picker.ListView1->currentItem();
        const QPoint at = picker.ListView1->visualItemRect(item).center();
        // The press that comes before a double click, as from a real mouse.
        QTest::mousePress(picker.ListView1->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        QTest::mouseRelease(picker.ListView1->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        QTest::mouseDClick(picker.ListView1->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        break;
      }
      case How::kCancel:
        QTest::mouseClick(picker.Command2, Qt::LeftButton);
        break;
      case How::kOkWithoutSelection:
        picker.ListView1->clearSelection();
        QTest::mouseClick(picker.Command1, Qt::LeftButton);
        break;
    }
    const std::string expected = c.expected.back() == '@' ? c.expected + d + ">" : c.expected;
    EXPECT_EQ(form->ui().rows[1].txtSpamFolder->text().toStdString(), expected);
    for (int other : {0, 2, 3}) EXPECT_EQ(form->ui().rows[other].txtSpamFolder->text(), "before");
    EXPECT_FALSE(picker.isVisible());
  }
}

TEST(RecipientPicker, BrowseButtonOfAForwardRowOpensIt) {
  SetupPlatform platform;
  auto form = OpenForm();
  const RuleRow& row = form->ui().rows[2];
  row.txtSpamTag->setText(QStringLiteral("Subject: [SPAM]"));
  EXPECT_FALSE(row.cmdBrowse->isEnabled());
  row.List1->setCurrentIndex(kActionForward);
  ASSERT_TRUE(row.cmdBrowse->isEnabled());
  bool modal = false;
  QTimer::singleShot(0, [&] {
    auto* picker = qobject_cast<SelectRecipient*>(QApplication::activeModalWidget());
    if (!picker) return;
    modal = picker->isModal();
    picker->Form_Activate();
    Select(*picker, "Spam Desk");
    QTest::mouseClick(picker->Command1, Qt::LeftButton);
  });
  row.cmdBrowse->click();
  EXPECT_TRUE(modal);
  EXPECT_EQ(row.txtSpamFolder->text().toStdString(),
            "Spam Desk <spamdesk@" + platform.domain() + ">");
}

TEST(RecipientPicker, DirectoryFailureLeavesTheListEmpty) {
  struct Case {
    const char* name;
    void (*breakIt)(SetupPlatform&, InstallForm&);
  };
  const std::vector<Case> cases = {
      {"connection closed",
       [](SetupPlatform&, InstallForm& form) { form.globals().DirectoryConnection->Close(); }},
      {"no connection",
       [](SetupPlatform&, InstallForm& form) { form.globals().DirectoryConnection.reset(); }},
      {"directory gone",
       [](SetupPlatform& platform, InstallForm&) {
         std::filesystem::remove(platform.root() / "directory.ldif");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetupPlatform platform;
    auto form = OpenForm();
    c.breakIt(platform, *form);
    form->ui().rows[0].txtSpamFolder->setText(QStringLiteral("before"));
    SelectRecipient picker(*form, 0);
    picker.Form_Activate();
    EXPECT_EQ(picker.ListView1->topLevelItemCount(), 0);
    EXPECT_FALSE(picker.Picture1->isVisibleTo(&picker));
    QTest::mouseClick(picker.Command1, Qt::LeftButton);
    EXPECT_EQ(form->ui().rows[0].txtSpamFolder->text(), "before");
    EXPECT_TRUE(platform.messages.empty());
  }
}

TEST(RecipientPicker, ScreenshotShowsNamesAndIcons) {
  ASSERT_TRUE(QFontMetrics(QApplication::font()).inFont(QLatin1Char('A')));
  SetupPlatform platform;
  auto form = OpenForm();
  SelectRecipient picker(*form, 0);
  picker.Form_Activate();
  picker.show();
  QTreeWidget& list = *picker.ListView1;
  // Names and addresses fit their columns.
  for (int i = 0; i < list.topLevelItemCount(); ++i)
    for (int column : {Column::kNameColumn, Column::kMailColumn}) {
      QTreeWidgetItem* item = list.topLevelItem(i);
      const int needed = list.fontMetrics().horizontalAdvance(item->text(column));
      EXPECT_LE(needed, list.header()->sectionSize(column)) << item->text(column).toStdString();
    }
  // Each kind has its own icon with something drawn on it.
  std::vector<QImage> images;
  for (const char* kind : {"user", "userdisabled", "group", "pf", "contact"}) {
    const QImage image = picker.ImageList2.value(kind).pixmap(16, 16).toImage();
    ASSERT_FALSE(image.isNull()) << kind;
    int opaque = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) opaque += qAlpha(image.pixel(x, y)) > 128;
    EXPECT_GT(opaque, 40) << kind;
    for (const QImage& other : images) EXPECT_NE(image, other) << kind;
    images.push_back(image);
  }
  const std::filesystem::path dir =
      std::filesystem::path(DROSSGATE_BINARY_DIR) / "tests" / "setup" / "screenshots";
  std::filesystem::create_directories(dir);
  EXPECT_TRUE(picker.grab().save(QString::fromStdString((dir / "SelectRecipient.png").string())));
  QPixmap strip(5 * 40, 40);
  strip.fill(Qt::white);
  QPainter painter(&strip);
  int x = 4;
  for (const char* kind : {"user", "userdisabled", "group", "pf", "contact"}) {
    painter.drawPixmap(x, 4, picker.ImageList2.value(kind).pixmap(32, 32));
    x += 40;
  }
  painter.end();
  EXPECT_TRUE(strip.save(QString::fromStdString((dir / "RecipientIcons.png").string())));
}

TEST(HeaderSortArrow, OnlyTheSortColumnUnlessExcluded) {
  struct Case {
    const char* name;
    ListSort sort;
    std::optional<int> column;
    int arrowOn;  // -1: no arrow
  };
  const std::vector<Case> cases = {
      {"sort column", {0, Qt::AscendingOrder}, std::nullopt, 0},
      {"last column, descending", {2, Qt::DescendingOrder}, std::nullopt, 2},
      {"excluded sort column", {1, Qt::AscendingOrder}, std::nullopt, -1},
      {"no sort column", {-1, Qt::AscendingOrder}, std::nullopt, -1},
      {"given column wins", {0, Qt::DescendingOrder}, 2, 2},
      {"given column excluded", {0, Qt::AscendingOrder}, 1, -1},
      {"given column beyond the last", {0, Qt::AscendingOrder}, 3, -1},
  };
  QTreeWidget list;
  list.setHeaderLabels({"a", "b", "c"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ShowListViewColumnHeaderSortIcon(*list.header(), c.sort, {1}, c.column);
    EXPECT_EQ(list.header()->isSortIndicatorShown(), c.arrowOn >= 0);
    if (c.arrowOn < 0) continue;
    EXPECT_EQ(list.header()->sortIndicatorSection(), c.arrowOn);
    EXPECT_EQ(list.header()->sortIndicatorOrder(), c.sort.order);
  }
}

TEST(RecipientKind, FromTheAccountAttributes) {
  namespace dir = platform::directory;
  const dir::Value none;
  auto text = [](const char* s) { return dir::Value::Text(s); };
  struct Case {
    const char* name;
    dir::Value type;
    dir::Value flags;
    dir::Value mapi;
    const char* kind;
  };
  const std::vector<Case> cases = {
      {"normal account", text("805306368"), text("512"), none, "user"},
      {"disabled account", text("805306368"), text("514"), none, "userdisabled"},
      {"account without flags", text("805306368"), none, none, "user"},
      {"disabled bit among others", text("805306368"), text("66050"), none, "userdisabled"},
      {"security group", text("268435456"), none, none, "group"},
      {"distribution group", text("268435457"), none, none, "group"},
      {"any other account type", text("536870912"), none, none, "contact"},
      {"no account, mail recipient", none, none, text("FALSE"), "contact"},
      {"no account, no recipient flag", none, none, none, "pf"},
  };
  for (const Case& c : cases) EXPECT_EQ(RecipientKind(c.type, c.flags, c.mapi), c.kind) << c.name;
}

}  // namespace
}  // namespace drossgate::setup
