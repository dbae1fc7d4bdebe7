// The four mailbox lists after the enumeration, the probes behind them, the error log they
// write, refill requests during a refill, and the whole window's legibility.

#include <QFontMetrics>
#include <QMouseEvent>
#include <QRegularExpression>

#include <algorithm>

#include "Mailboxes.h"
#include "setup_fixture.h"
#include "system/registry.h"
#include "system/system.h"
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
int CountAlias(const std::vector<std::string>& entries, const std::string& alias) {
  return static_cast<int>(std::count_if(entries.begin(), entries.end(), [&](const auto& entry) {
    return text::EndsWithNoCase(entry, " / " + alias);
  }));
}

std::string Server(const SetupPlatform& platform) {
  return ServerNameOf(platform.homeServer());
}

// The enumeration on the connections and server facts of a window opened on the current
// platform (the server facts are learnt on activation), with a log of its own.
struct Enumerated : test::TextLog {
  Enumerated() {
    const std::unique_ptr<InstallForm> form = OpenForm();
    fatal = form->fatalError().has_value();
    state = form->state();
    const InstallFormState& s = form->state();
    MailboxEnumeration enumeration(form->globals(),
                                   {{s.FileFolderURL, s.FolderURL, s.ComputerName},
                                    s.ShortComputerName,
                                    s.blnIsClusterNode,
                                    s.ClusterName},
                                   *this);
    lists = enumeration.Enumerate();
  }
  // The lists that hold alias, separated by blanks.
  std::string ListsOf(const std::string& alias) const {
    std::string in;
    for (const auto& [name, entries] :
         {std::pair{"store-wide-unregistered", &lists.storeWideUnregistered},
          {"unregistered", &lists.unregistered},
          {"registered", &lists.registered},
          {"store-wide-registered", &lists.storeWideRegistered}})
      for (int i = CountAlias(*entries, alias); i > 0; --i)
        in += std::string(in.empty() ? "" : " ") + name;
    return in;
  }

  bool fatal = false;
  InstallFormState state;
  setup::MailboxLists lists;
};

class MailboxLists : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string d = platform_.domain();
    platform_.AddPeople({
        {.cn = "Anna Registered", .alias = "annar", .mail = "anna.r@" + d},
        {.cn = "Bert Plain", .alias = "bertp", .mail = "bert.p@" + d},
        {.cn = "Carl Disabled", .alias = "carld", .mail = "carl.d@" + d, .disabled = true},
        {.cn = "Dora Noaddress", .alias = "doran"},
        {.cn = "Emil Elsewhere", .alias = "emile", .mail = "emil.e@" + d, .inStore = false},
        {.cn = "Fritz Posteingang",
         .alias = "fritzp",
         .mail = "fritz.p@" + d,
         .inboxName = "Posteingang"},
        {.cn = "Gina Elsewhere", .alias = "ginae", .mail = "gina.e@" + d, .inStore = false},
    });
    for (const char* alias : {"annar", "doran", "fritzp"}) platform_.Register(alias);
  }
  SetupPlatform platform_;
};

TEST_F(MailboxLists, EachMailboxInTheListOfItsRegistration) {
  const std::string system = platform_.SystemMailboxAliases().front();
  platform_.Register(system, true);
  platform_.AddPerson({.cn = "Hans Nothing", .inStore = false});
  const Enumerated found;
  struct Case {
    const char* why;
    std::string alias;
    const char* lists;
    MailboxStatus::State state = MailboxStatus::kNotRegistered;
  };
  const std::vector<Case> cases = {
      {"item in the inbox", "annar", "registered", MailboxStatus::kRegistered},
      {"no item", "bertp", "unregistered"},
      {"disabled, listed as \"Show disabled\" is checked", "carld", "unregistered"},
      {"no address: found by its alias", "doran", "registered", MailboxStatus::kRegistered},
      {"no store mailbox: every probe fails", "emile", "unregistered", MailboxStatus::kUnreachable},
      {"inbox under another name", "fritzp", "registered", MailboxStatus::kRegistered},
      {"system mailbox registered store-wide", system, "store-wide-registered",
       MailboxStatus::kRegistered},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(found.ListsOf(c.alias), c.lists) << c.why;
    for (const auto& [entry, status] : found.lists.statuses)
      if (text::EndsWithNoCase(entry, " / " + c.alias)) {
        EXPECT_EQ(status.state, c.state) << c.why;
      }
  }
  for (const std::string& other : platform_.SystemMailboxAliases())
    EXPECT_EQ(found.ListsOf(other),
              other == system ? "store-wide-registered" : "store-wide-unregistered");
  const std::vector<std::string>& registered = found.lists.registered;
  EXPECT_EQ(std::count(registered.begin(), registered.end(),
                       "Dora Noaddress / " + Server(platform_) + " /  / doran"),
            1);
  // Entries come in the order of the common names.
  EXPECT_TRUE(std::is_sorted(
      registered.begin(), registered.end(),
      [](const auto& a, const auto& b) { return text::ToLower(a) < text::ToLower(b); }));
  // Without alias or address: listed, never probed.
  const std::vector<std::string>& unregistered = found.lists.unregistered;
  EXPECT_EQ(std::count(unregistered.begin(), unregistered.end(),
                       "Hans Nothing / " + Server(platform_) + " /  / "),
            1);
  EXPECT_EQ(found.log.count("Hans"), 0);

  // Every mailbox that cannot be reached is logged once, newest first; each entry ends with an
  // empty line.
  const std::string log = found.log.toStdString();
  const std::string emil = found.state.FileFolderURL + "/emil.e";
  const std::string gina = found.state.FileFolderURL + "/gina.e";
  EXPECT_EQ(found.log.count(QString::fromStdString("] " + emil + " - ERROR: ")), 1) << log;
  EXPECT_EQ(found.log.count(QString::fromStdString("] " + gina + " - ERROR: ")), 1) << log;
  EXPECT_LT(log.find(gina), log.find(emil));
  const QRegularExpression entries(R"(^(\[[^\]]+\] \S+ - ERROR: -\d+ [^\r]+\r\n\r\n){2}$)");
  EXPECT_TRUE(entries.match(found.log).hasMatch()) << log;
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
  EXPECT_EQ(form->ErrorLogText().count(QString::fromStdString(runEntry)), 1)
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
  EXPECT_EQ(CountAlias(Entries(ui.MbxUninstList), "m10100"), 1);
  EXPECT_GE(ui.MbxInstList->count() + ui.MbxUninstList->count(), kMailboxes);
  // Emptied, then filled.
  for (const auto& [list, count] : changes) EXPECT_LE(count, 2) << list->objectName().toStdString();
}

// The mailboxes of this server alone. On a cluster node the directory's server name differs
// from the node's; the node's cluster name is that of the virtual server, found through the
// current user's home server. A home server whose organisation name holds a quote stays one
// value of the query.
TEST(MailboxListsOfThisServer, OnAClusterOrUnderAQuotedHomeServer) {
  struct Case {
    const char* name;
    bool clusterNode;
    const char* user;  // nullptr: the demo's machine, with a home server named with a quote
    bool listed;
  };
  const std::vector<Case> cases = {
      {"cluster node", true, "clusadmin", true},
      {"user name with a quote", true, "o'neil", true},
      {"not a cluster node", false, "clusadmin", false},
      {"home server with a quote", false, nullptr, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetupPlatform platform;
    const std::string home = c.user ? ""
                                    : "/o=O'Brien & Sons/ou=First Administrative Group/"
                                      "cn=Configuration/cn=Servers/cn=" +
                                          Server(platform);
    if (c.user) {
      platform.AddPerson({.cn = "Cluster Admin", .alias = "clusadmin", .account = c.user});
      platform::MachineInfo machine = platform::Machine();  // this node and its user
      machine.computerName = "NODE1";
      machine.userName = c.user;
      platform::WriteMachineInfo(platform.root(), machine);
    } else {
      platform.AddPerson({.cn = "A System Mailbox",
                          .alias = "SystemMailbox{00000000-0000-0000-0000-000000000001}",
                          .inStore = false,
                          .homeServer = home});
    }
    platform.AddPerson({.cn = "Anna Lee",
                        .alias = "annal",
                        .mail = "annal@" + platform.domain(),
                        .homeServer = home});
    if (c.clusterNode) {
      namespace registry = platform::registry;
      registry::Key key;  // HKEY_LOCAL_MACHINE\Cluster makes this machine a cluster node
      ASSERT_EQ(registry::CreateKey(registry::Hive::kLocalMachine, "Cluster", key),
                registry::kSuccess);
      registry::CloseKey(key);
    }
    const Enumerated found;
    EXPECT_FALSE(found.fatal);
    EXPECT_EQ(found.state.blnIsClusterNode, c.clusterNode);
    EXPECT_EQ(found.state.ClusterName, c.clusterNode ? Server(platform) : "");
    EXPECT_EQ(found.ListsOf("annal"), c.listed ? "unregistered" : "");
    // The demo's own mailboxes are homed under the other spelling of the server.
    if (!c.user) {
      EXPECT_EQ(found.ListsOf("ada"), "");
    }
    if (!c.listed) {
      EXPECT_TRUE(found.lists.statuses.empty());
      EXPECT_TRUE(platform.messages.empty());
    }
  }
}

// --- The whole window ---------------------------------------------------------------------

TEST_F(MailboxLists, WindowHasLegibleCaptionsAndNoOverlaps) {
  ASSERT_TRUE(QFontMetrics(QApplication::font()).inFont(QChar('A')));
  auto form = std::make_unique<InstallForm>(SetupOptions{});
  form->Form_Load();
  form->show();
  for (int i = 0; i < 20 && !form->globals().InitDone; ++i) QApplication::processEvents();
  ASSERT_TRUE(form->globals().InitDone);
  form->ui().MbxInstList->item(0)->setSelected(true);
  QApplication::processEvents();

  // The controls that a layout places, as the window shows them.
  std::vector<QWidget*> controls;
  for (QWidget* child : form->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
    if (child->isVisible()) controls.push_back(child);
  for (QWidget* control : controls) {
    const auto* label = qobject_cast<const QLabel*>(control);
    const auto* button = qobject_cast<const QAbstractButton*>(control);
    const QString caption = label ? label->text() : button ? button->text() : QString();
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
