// The four mailbox lists after the enumeration, the probes behind them, the error log they
// write, refill requests during a refill, and the whole window's legibility.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "InstallForm.h"
#include "setup_fixture.h"
#include "testsupport.h"
#include "text.h"

namespace drossgate::setup {
namespace {

using test::OpenForm;
using test::SetupPlatform;

std::vector<std::string> Entries(const QListWidget* list) {
  std::vector<std::string> entries;
  for (int i = 0; i < list->count(); ++i) entries.push_back(list->item(i)->text().toStdString());
  return entries;
}

// The list's entries whose alias (the last field) is alias.
int CountAlias(const QListWidget* list, const std::string& alias) {
  int n = 0;
  for (const std::string& entry : Entries(list))
    if (text::EndsWithNoCase(entry, " / " + alias)) ++n;
  return n;
}

std::string Server(const SetupPlatform& platform) {
  const std::string home = platform.homeServer();
  return home.substr(text::RFindNoCase(home, "CN=") + 3);
}

int CountOf(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + needle.size()))
    ++n;
  return n;
}

class MailboxLists : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string d = platform_.domain();
    platform_.AddPerson({.cn = "Anna Registered", .alias = "annar", .mail = "anna.r@" + d});
    platform_.AddPerson({.cn = "Bert Plain", .alias = "bertp", .mail = "bert.p@" + d});
    platform_.AddPerson(
        {.cn = "Carl Disabled", .alias = "carld", .mail = "carl.d@" + d, .disabled = true});
    platform_.AddPerson({.cn = "Dora Noaddress", .alias = "doran"});
    platform_.AddPerson(
        {.cn = "Emil Elsewhere", .alias = "emile", .mail = "emil.e@" + d, .inStore = false});
    platform_.AddPerson({.cn = "Fritz Posteingang",
                         .alias = "fritzp",
                         .mail = "fritz.p@" + d,
                         .inboxName = "Posteingang"});
    platform_.AddPerson(
        {.cn = "Gina Elsewhere", .alias = "ginae", .mail = "gina.e@" + d, .inStore = false});
    platform_.Register("annar");
    platform_.Register("doran");
    platform_.Register("fritzp");
  }
  SetupPlatform platform_;
};

TEST_F(MailboxLists, RegisteredAndUnregisteredMailboxes) {
  auto form = OpenForm();
  const InstallFormControls& ui = form->ui();
  struct Case {
    const char* alias;
    QListWidget* list;
  };
  const std::vector<Case> cases = {
      {"annar", ui.MbxUninstList},   // item in the inbox
      {"bertp", ui.MbxInstList},     // no item
      {"carld", ui.MbxInstList},     // disabled, shown while "Show disabled" is checked
      {"doran", ui.MbxUninstList},   // no address: found by its alias
      {"emile", ui.MbxInstList},     // no store mailbox: every probe fails
      {"fritzp", ui.MbxUninstList},  // inbox under another name
      {"ginae", ui.MbxInstList},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CountAlias(c.list, c.alias), 1)
        << c.alias << " in " << c.list->objectName().toStdString();
    for (QListWidget* other :
         {ui.MbxInstList, ui.MbxUninstList, ui.SysMbxInstList, ui.SysMbxUninstList})
      if (other != c.list) {
        EXPECT_EQ(CountAlias(other, c.alias), 0) << c.alias;
      }
  }
  const std::vector<std::string> registered = Entries(ui.MbxUninstList);
  EXPECT_EQ(std::count(registered.begin(), registered.end(),
                       "Dora Noaddress / " + Server(platform_) + " /  / doran"),
            1);
  // Entries come in the order of the common names.
  EXPECT_TRUE(std::is_sorted(
      registered.begin(), registered.end(),
      [](const auto& a, const auto& b) { return text::ToLower(a) < text::ToLower(b); }));
  EXPECT_TRUE(ui.Check3->isEnabled() && ui.Check4->isEnabled());
  EXPECT_FALSE(ui.Picture1->isVisibleTo(form.get()));
}

TEST_F(MailboxLists, SystemMailboxesOnlyInTheStoreWideLists) {
  const std::vector<std::string> systemAliases = platform_.SystemMailboxAliases();
  ASSERT_FALSE(systemAliases.empty());
  {
    auto form = OpenForm();
    const InstallFormControls& ui = form->ui();
    for (const std::string& alias : systemAliases) {
      EXPECT_EQ(CountAlias(ui.MbxInstList, alias), 0);
      EXPECT_EQ(CountAlias(ui.MbxUninstList, alias), 0);
      EXPECT_EQ(CountAlias(ui.SysMbxInstList, alias), 1) << alias;
      EXPECT_EQ(CountAlias(ui.SysMbxUninstList, alias), 0) << alias;
    }
    EXPECT_TRUE(ui.Check2->isEnabled());
  }
  platform_.RegisterStoreWide(systemAliases.front());
  auto form = OpenForm();
  const InstallFormControls& ui = form->ui();
  EXPECT_EQ(CountAlias(ui.SysMbxUninstList, systemAliases.front()), 1);
  EXPECT_EQ(CountAlias(ui.SysMbxInstList, systemAliases.front()), 0);
  EXPECT_TRUE(ui.Check5->isEnabled());
}

TEST_F(MailboxLists, EveryMailboxThatCannotBeReachedIsLoggedOnceNewestFirst) {
  auto form = OpenForm();
  const std::string log = form->ErrorLogText().toStdString();
  const std::string emil = form->state().FileFolderURL + "/emil.e";
  const std::string gina = form->state().FileFolderURL + "/gina.e";
  EXPECT_EQ(CountOf(log, "] " + emil + " - ERROR: "), 1) << log;
  EXPECT_EQ(CountOf(log, "] " + gina + " - ERROR: "), 1) << log;
  // Gina is enumerated after Emil, so her entry is on top.
  EXPECT_LT(log.find(gina), log.find(emil));
  // Each entry ends with an empty line.
  const QRegularExpression entries(R"(^(\[[^\]]+\] \S+ - ERROR: -\d+ [^\r]+\r\n\r\n){2}$)");
  EXPECT_TRUE(entries.match(QString::fromStdString(log)).hasMatch()) << log;
  EXPECT_TRUE(form->ui().txtErr->isVisibleTo(form.get()));
}

TEST_F(MailboxLists, AMailboxWithoutAliasOrAddressIsListedUnprobed) {
  platform_.AddPerson({.cn = "Hans Nothing", .inStore = false});
  auto form = OpenForm();
  const std::vector<std::string> entries = Entries(form->ui().MbxInstList);
  EXPECT_EQ(
      std::count(entries.begin(), entries.end(), "Hans Nothing / " + Server(platform_) + " /  / "),
      1);
  EXPECT_EQ(form->ErrorLogText().count("Hans"), 0);
}

TEST_F(MailboxLists, RefillRequestsDuringARefillLeaveOneConsistentList) {
  auto form = OpenForm();
  const InstallFormControls& ui = form->ui();
  const std::vector<std::string> before = Entries(ui.MbxInstList);
  // Two clicks on "Show disabled" while the refill yields: the lists must end as one
  // enumeration with the box's final state.
  int clicks = 0;
  QTimer clicker;
  clicker.setInterval(0);
  QObject::connect(&clicker, &QTimer::timeout, [&] {
    if (!form->RefillRunning()) return;
    ui.Check7->click();
    if (++clicks == 2) clicker.stop();
  });
  clicker.start();
  ui.Check7->click();
  clicker.stop();
  EXPECT_EQ(clicks, 2);
  EXPECT_FALSE(ui.Check7->isChecked());
  EXPECT_FALSE(form->RefillRunning());
  std::vector<std::string> expected;
  for (const std::string& entry : before)
    if (entry.find("[***DISABLED***]") == std::string::npos) expected.push_back(entry);
  EXPECT_EQ(Entries(ui.MbxInstList), expected);
}

// Found: a double click on "CHANGE" ran twice; the second run, held until the first one's
// refill ended, cleared the first one's log. A click that arrives while a run or a refill is
// under way is dropped, not held for later.
TEST_F(MailboxLists, ClicksOnChangeDuringARunOrARefillAreDropped) {
  auto form = OpenForm();
  form->show();
  const InstallFormControls& ui = form->ui();
  ui.Check1->setChecked(false);
  // emile cannot be reached: the run logs its registration, the refill only its probe.
  for (int i = 0; i < ui.MbxInstList->count(); ++i)
    ui.MbxInstList->item(i)->setSelected(ui.MbxInstList->item(i)->text().endsWith("/ emile"));
  ui.Check3->setChecked(true);
  const std::string runEntry = form->state().FolderURL + "/emile - ERROR: ";
  // A double click as the window system queues it: the second click waits in the queue while
  // the first one's run works, and arrives when its refill lets the window's events run.
  const QPointF centre = ui.Command1->rect().center();
  for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
                                  QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease}) {
    const Qt::MouseButtons held =
        type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QCoreApplication::postEvent(
        ui.Command1, new QMouseEvent(type, centre, ui.Command1->mapToGlobal(centre), Qt::LeftButton,
                                     held, Qt::NoModifier));
  }
  QTest::qWait(200);
  EXPECT_EQ(CountOf(form->ErrorLogText().toStdString(), runEntry), 1)
      << form->ErrorLogText().toStdString();
  EXPECT_TRUE(platform_.messages.empty());

  // A click while "Show disabled" refills the lists.
  form->SetErrorLogText("marker\r\n\r\n");
  bool clickedDuringRefill = false;
  QTimer::singleShot(0, [&] {
    clickedDuringRefill = form->RefillRunning();
    ui.Command1->click();
  });
  ui.Check7->click();
  QTest::qWait(200);
  EXPECT_TRUE(clickedDuringRefill);
  // No run cleared the log.
  EXPECT_TRUE(form->ErrorLogText().contains("marker"));
  EXPECT_TRUE(form->globals().InitDone);
}

TEST_F(MailboxLists, ClosingDuringARefillWaitsForItsEnd) {
  auto form = OpenForm();
  form->show();
  QApplication::processEvents();
  QTimer::singleShot(0, [&] { form->ui().Command2->click(); });
  form->ui().Check7->click();
  EXPECT_FALSE(form->RefillRunning());
  EXPECT_FALSE(form->isVisible());
}

// Found: with the window shown, every entry added made its list lay out all its entries again
// (2,005 mailboxes took a minute to list). Each change of a list's model makes the view lay out
// the whole list, so a fill may change each list a fixed number of times, however long it is.
TEST(MailboxListsAtScale, AFillChangesEachListAFixedNumberOfTimes) {
  constexpr int kMailboxes = 2000;
  SetupPlatform platform;
  std::vector<test::Person> people;
  for (int i = 0; i < kMailboxes; ++i) {
    const std::string alias = "m" + std::to_string(10000 + i);
    people.push_back({.cn = "Mailbox " + alias, .alias = alias, .mail = alias + "@example.com"});
  }
  platform.AddPeople(people);
  for (int i = 0; i < kMailboxes; i += 100) platform.Register(people[i].alias);

  InstallForm form{SetupOptions{}};
  form.Form_Load();
  const InstallFormControls& ui = form.ui();
  std::map<const QListWidget*, int> changes;
  for (const QListWidget* list :
       {ui.SysMbxInstList, ui.MbxInstList, ui.MbxUninstList, ui.SysMbxUninstList}) {
    const QAbstractItemModel* model = list->model();
    auto count = [&changes, list] { ++changes[list]; };
    QObject::connect(model, &QAbstractItemModel::rowsInserted, count);
    QObject::connect(model, &QAbstractItemModel::rowsRemoved, count);
    QObject::connect(model, &QAbstractItemModel::rowsMoved, count);
    QObject::connect(model, &QAbstractItemModel::modelReset, count);
    QObject::connect(model, &QAbstractItemModel::layoutChanged, count);
  }
  form.show();
  for (int i = 0; i < 6000 && !form.globals().InitDone; ++i) QTest::qWait(10);
  ASSERT_TRUE(form.globals().InitDone);
  EXPECT_EQ(CountAlias(ui.MbxUninstList, "m10100"), 1);
  EXPECT_GE(ui.MbxInstList->count() + ui.MbxUninstList->count(), kMailboxes);
  // Emptied, then filled.
  for (const auto& [list, count] : changes) EXPECT_LE(count, 2) << list->objectName().toStdString();
}

// The directory's server name differs from this node's; the node's cluster name is that of
// the virtual server, found through the current user's home server.
TEST(MailboxListsOnACluster, MailboxesOfTheVirtualServer) {
  struct Case {
    const char* name;
    bool clusterNode;
    const char* user;
    bool listed;
  };
  const std::vector<Case> cases = {
      {"cluster node", true, "clusadmin", true},
      {"user name with a quote", true, "o'neil", true},
      {"not a cluster node", false, "clusadmin", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetupPlatform platform;
    platform.AddPerson({.cn = "Cluster Admin", .alias = "clusadmin", .account = c.user});
    platform.AddPerson({.cn = "Anna Lee", .alias = "annal", .mail = "annal@" + platform.domain()});
    platform.SetMachine("NODE1", c.user);
    if (c.clusterNode) platform.MakeClusterNode();
    auto form = OpenForm();
    const InstallFormControls& ui = form->ui();
    EXPECT_FALSE(form->fatalError().has_value());
    EXPECT_EQ(form->state().blnIsClusterNode, c.clusterNode);
    EXPECT_EQ(form->state().ClusterName, c.clusterNode ? Server(platform) : "");
    EXPECT_EQ(CountAlias(ui.MbxInstList, "annal"), c.listed ? 1 : 0);
    if (!c.listed) {
      EXPECT_EQ(ui.MbxInstList->count() + ui.MbxUninstList->count() + ui.SysMbxInstList->count() +
                    ui.SysMbxUninstList->count(),
                0);
      for (QCheckBox* box : {ui.Check2, ui.Check3, ui.Check4, ui.Check5})
        EXPECT_FALSE(box->isEnabled());
      EXPECT_TRUE(platform.messages.empty());
    }
  }
}

// A home server whose organisation name holds a quote stays one value of the query.
TEST(MailboxListsQuoting, HomeServerWithAQuote) {
  SetupPlatform platform;
  const std::string home =
      "/o=O'Brien & Sons/ou=First Administrative Group/cn=Configuration/"
      "cn=Servers/cn=" +
      Server(platform);
  platform.AddPerson({.cn = "A System Mailbox",
                      .alias = "SystemMailbox{00000000-0000-0000-0000-000000000001}",
                      .inStore = false,
                      .homeServer = home});
  platform.AddPerson({.cn = "Quinn Quote",
                      .alias = "quinnq",
                      .mail = "quinn.q@" + platform.domain(),
                      .homeServer = home});
  auto form = OpenForm();
  EXPECT_FALSE(form->fatalError().has_value());
  EXPECT_EQ(CountAlias(form->ui().MbxInstList, "quinnq"), 1);
  // The demo's own mailboxes are homed under the other spelling of the server.
  EXPECT_EQ(CountAlias(form->ui().MbxInstList, "ada"), 0);
}

// --- The whole window ---------------------------------------------------------------------

// The controls that a layout places, as the window shows them.
std::vector<QWidget*> PlacedControls(InstallForm& form) {
  std::vector<QWidget*> controls;
  for (QWidget* child : form.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
    if (child->isVisible()) controls.push_back(child);
  return controls;
}

QString Caption(const QWidget* widget) {
  if (const auto* label = qobject_cast<const QLabel*>(widget)) return label->text();
  if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) return button->text();
  return {};
}

TEST_F(MailboxLists, WindowHasLegibleCaptionsAndNoOverlaps) {
  ASSERT_TRUE(QFontMetrics(QApplication::font()).inFont(QChar('A')));
  auto form = std::make_unique<InstallForm>(SetupOptions{});
  form->Form_Load();
  form->show();
  for (int i = 0; i < 20 && !form->globals().InitDone; ++i) QApplication::processEvents();
  ASSERT_TRUE(form->globals().InitDone);
  form->ui().MbxInstList->item(0)->setSelected(true);
  QApplication::processEvents();

  const std::vector<QWidget*> controls = PlacedControls(*form);
  for (QWidget* control : controls) {
    const QString caption = Caption(control);
    if (caption.isEmpty()) continue;
    // A caption fits its control: its text is not cut off.
    const int text = control->fontMetrics().horizontalAdvance(caption);
    const int needed = qobject_cast<QCheckBox*>(control)     ? control->sizeHint().width()
                       : qobject_cast<QPushButton*>(control) ? text + 4
                                                             : text;
    EXPECT_GE(control->width(), needed) << control->objectName().toStdString();
  }
  test::ExpectNoOverlaps(controls);
  for (const QListWidget* list : {form->ui().MbxInstList, form->ui().MbxUninstList})
    for (int i = 0; i < list->count(); ++i)
      EXPECT_GE(list->visualItemRect(list->item(i)).width(),
                list->fontMetrics().horizontalAdvance(list->item(i)->text()));
}

}  // namespace
}  // namespace drossgate::setup
