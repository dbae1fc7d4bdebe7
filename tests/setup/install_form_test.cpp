// The main window on a demo platform: start-up values, the read-back of an installed
// configuration, the control states and the field handlers.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <memory>
#include <string>
#include <vector>

#include "ComPlus.h"
#include "InstallForm.h"
#include "directory/directory.h"
#include "setup_fixture.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::setup {
namespace {

using test::Person;
using test::SetupPlatform;

std::unique_ptr<InstallForm> OpenForm(bool batch = false) {
  auto form = std::make_unique<InstallForm>(SetupOptions{batch});
  form->Form_Load();
  form->Form_Activate();
  return form;
}

std::string Text(const QLineEdit* edit) {
  return edit->text().toStdString();
}

// The part of a log entry after its date and time.
std::string WithoutDate(const QString& log) {
  std::string text = log.toStdString();
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t open = text.find('[', at);
    const size_t close = open == std::string::npos ? open : text.find(']', open);
    if (close == std::string::npos) {
      out += text.substr(at);
      break;
    }
    out += text.substr(at, open - at) + "[]";
    at = close + 1;
  }
  return out;
}

TEST(InstallFormStartUp, MachineStoreAndCatalogValues) {
  SetupPlatform platform;
  auto form = OpenForm();
  const InstallFormState& state = form->state();
  const platform::MachineInfo& machine = platform::Machine();
  const std::string computer = text::ToLower(machine.computerName);
  const std::string domain = text::ToLower(machine.domainName);
  const std::vector<std::string> storeDomains =
      platform::store::ListFileSystemView("\\\\.\\backofficestorage\\");
  ASSERT_FALSE(storeDomains.empty());
  const std::string storeDomain = storeDomains.front();

  EXPECT_EQ(state.ShortComputerName, computer);
  EXPECT_EQ(state.DomainDNSName, domain);
  EXPECT_EQ(state.ComputerName, computer + "." + domain);
  EXPECT_EQ(state.FileFolderURL, "file://./backofficestorage/" + storeDomain + "/mbx");
  EXPECT_EQ(state.FolderURL,
            "http://" + computer + "." + domain + "/exadmin/" + storeDomain + "/mbx");
  EXPECT_EQ(state.FolderPath, "\\\\.\\backofficestorage\\" + storeDomain + "\\mbx");
  EXPECT_EQ(form->globals().GlobalCatalogPath, "GC://" + platform::FullComputerName());
  EXPECT_FALSE(state.blnBatchMode);
  EXPECT_EQ(form->windowTitle(), "Drossgate setup");
  EXPECT_TRUE(form->globals().InitDone);
  EXPECT_TRUE(form->state().blnNotFirstTime);
}

TEST(InstallFormStartUp, BatchModeCaption) {
  SetupPlatform platform;
  InstallForm form(SetupOptions{true});
  form.Form_Load();
  EXPECT_EQ(form.windowTitle(), "Drossgate setup - batch mode");
  EXPECT_TRUE(form.state().blnBatchMode);
}

TEST(InstallFormStartUp, UnreachableDirectoryFailsTheLoad) {
  SetupPlatform platform;
  std::filesystem::remove(platform.root() / "directory.ldif");
  InstallForm form(SetupOptions{});
  EXPECT_THROW(form.Form_Load(), platform::PlatformError);
}

TEST(InstallFormStartUp, ControlsCarryTheirNames) {
  SetupPlatform platform;
  InstallForm form(SetupOptions{});
  std::vector<QString> names = {
      "Label1",      "Label2",         "Label3",         "Label5",        "Label6",
      "Label8",      "Label9",         "Label10",        "txtIdent",      "txtPwd",
      "txtPriority", "SysMbxInstList", "MbxInstList",    "MbxUninstList", "SysMbxUninstList",
      "txtErr",      "Picture1",       "StoreWideURLtxt"};
  for (int i = 1; i <= 7; ++i) {
    names.push_back("Check" + QString::number(i));
    names.push_back("Command" + QString::number(i));
  }
  for (int i = 0; i < 4; ++i)
    for (const char* prefix : {"txtSpamTag", "btnTest", "List1", "txtSpamFolder", "cmdBrowse"})
      names.push_back(prefix + QString::number(i));
  for (const QString& name : names)
    EXPECT_NE(form.findChild<QWidget*>(name), nullptr) << name.toStdString();
  for (const RuleRow& row : form.ui().rows) EXPECT_FALSE(row.btnTest->isVisibleTo(&form));
  EXPECT_EQ(form.ui().rows[0].List1->itemText(3), "set SCL to ");
  EXPECT_EQ(form.ui().rows[1].List1->itemText(3), "set SCL to");
}

TEST(InstallFormStartUp, TabOrderFollowsTheRows) {
  SetupPlatform platform;
  InstallForm form(SetupOptions{});
  const InstallFormControls& ui = form.ui();
  std::vector<QWidget*> expected = {ui.Check1, ui.txtIdent, ui.txtPwd, ui.txtPriority};
  for (const RuleRow& row : ui.rows) {
    expected.push_back(row.txtSpamTag);
    expected.push_back(row.List1);
    expected.push_back(row.txtSpamFolder);
  }
  for (QWidget* widget : std::initializer_list<QWidget*>{
           ui.Check2, ui.SysMbxInstList, ui.Check3, ui.MbxInstList, ui.Check7, ui.Command4,
           ui.Check4, ui.MbxUninstList, ui.Command6, ui.Check5, ui.SysMbxUninstList, ui.Check6,
           ui.Command3, ui.txtErr, ui.Command1, ui.Command2})
    expected.push_back(widget);
  for (const RuleRow& row : ui.rows) expected.push_back(row.cmdBrowse);
  for (const RuleRow& row : ui.rows) expected.push_back(row.btnTest);
  expected.push_back(ui.Command5);
  expected.push_back(ui.Command7);

  std::vector<QWidget*> chain;
  QWidget* widget = ui.Check1;
  for (int step = 0; step < 200 && chain.size() < expected.size(); ++step) {
    if (std::find(expected.begin(), expected.end(), widget) != expected.end() &&
        std::find(chain.begin(), chain.end(), widget) == chain.end())
      chain.push_back(widget);
    widget = widget->nextInFocusChain();
  }
  ASSERT_EQ(chain.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(chain[i], expected[i])
        << "position " << i << ": " << chain[i]->objectName().toStdString() << " instead of "
        << expected[i]->objectName().toStdString();
}

struct ShownRow {
  const char* condition;
  const char* target;
  int action;
};

TEST(InstallFormReadBack, InstalledConfigurationFillsAndLocksTheRows) {
  struct Case {
    const char* name;
    std::string constructorString;
    std::string componentName;
    bool constructionEnabled;
    std::vector<ShownRow> rows;
    const char* priority;
  };
  const std::vector<Case> cases = {
      {"one move rule",
       "Spam\t\rX-Spam-Flag: YES\t\r65535",
       "Drossgate.DrossgateCls",
       true,
       {{"X-Spam-Flag: YES", "Spam", kActionMove}, {"", "", kActionMove}},
       "65535"},
      {"every action",
       "Junk\t[Null]\tspam@example.com\t+5\t\rA\tB\tC\tD\t\r7",
       "Drossgate.DrossgateCls",
       true,
       {{"A", "Junk", kActionMove},
        {"B", "[Null]", kActionDelete},
        {"C", "spam@example.com", kActionForward},
        {"D", "5", kActionSetScl}},
       "7"},
      {"negative SCL",
       "-1\t\rIMFSCL: {> 3}\t\r0",
       "Drossgate.DrossgateCls",
       true,
       {{"IMFSCL: {> 3}", "-1", kActionSetScl}, {"", "", kActionMove}},
       "0"},
      {"construction disabled shows the defaults",
       "Junk\t\rA\t\r7",
       "Drossgate.DrossgateCls",
       false,
       {{"X-Spam-Flag: YES", "Spam", kActionMove}, {"", "", kActionMove}},
       "65535"},
      {"component name in other case is not the sink",
       "Junk\t\rA\t\r7",
       "drossgate.DrossgateCls",
       true,
       {{"X-Spam-Flag: YES", "Spam", kActionMove}, {"", "", kActionMove}},
       "65535"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetupPlatform platform;
    platform.InstallApplication("EXAMPLE\\sinkuser", c.constructorString, c.componentName,
                                c.constructionEnabled);
    auto form = OpenForm();
    const InstallFormControls& ui = form->ui();
    for (size_t i = 0; i < c.rows.size(); ++i) {
      EXPECT_EQ(Text(ui.rows[i].txtSpamTag), c.rows[i].condition) << "row " << i;
      EXPECT_EQ(Text(ui.rows[i].txtSpamFolder), c.rows[i].target) << "row " << i;
      EXPECT_EQ(ui.rows[i].List1->currentIndex(), c.rows[i].action) << "row " << i;
    }
    EXPECT_EQ(Text(ui.txtPriority), c.priority);
    EXPECT_EQ(form->globals().LastValidPriority.toStdString(), c.priority);
    // An installed application's configuration is shown, not edited.
    for (const RuleRow& row : ui.rows) {
      EXPECT_FALSE(row.txtSpamTag->isEnabled());
      EXPECT_FALSE(row.List1->isEnabled());
      EXPECT_TRUE(row.txtSpamFolder->isReadOnly());
      EXPECT_EQ(row.txtSpamFolder->toolTip(), row.txtSpamFolder->text());
      EXPECT_FALSE(row.cmdBrowse->isEnabled());
    }
    EXPECT_FALSE(ui.Check1->isEnabled());
    EXPECT_FALSE(ui.Check1->isChecked());
    EXPECT_TRUE(ui.Check6->isEnabled());
    EXPECT_EQ(Text(ui.txtIdent), "EXAMPLE\\sinkuser");
    EXPECT_FALSE(ui.txtIdent->isEnabled());
    EXPECT_FALSE(ui.txtPwd->isVisibleTo(form.get()));
    EXPECT_EQ(ui.Label2->text(), "Password: ********");
    EXPECT_FALSE(ui.txtPriority->isEnabled());
    EXPECT_FALSE(ui.Label6->isEnabled());
  }
}

TEST(InstallFormReadBack, NothingInstalledOffersTheInstallation) {
  SetupPlatform platform;
  auto form = OpenForm();
  const InstallFormControls& ui = form->ui();
  EXPECT_TRUE(ui.Check1->isEnabled());
  EXPECT_TRUE(ui.Check1->isChecked());
  EXPECT_FALSE(ui.Check6->isEnabled());
  EXPECT_EQ(Text(ui.rows[0].txtSpamTag), "X-Spam-Flag: YES");
  EXPECT_EQ(Text(ui.rows[0].txtSpamFolder), "Spam");
  EXPECT_EQ(Text(ui.txtPriority), "65535");
  EXPECT_TRUE(ui.rows[0].List1->isEnabled());
  EXPECT_FALSE(ui.rows[0].txtSpamFolder->isReadOnly());
  for (int i = 1; i < 4; ++i) {
    EXPECT_TRUE(ui.rows[i].txtSpamTag->isEnabled());
    EXPECT_FALSE(ui.rows[i].List1->isEnabled());
    EXPECT_TRUE(ui.rows[i].txtSpamFolder->isReadOnly());
  }
  EXPECT_EQ(ui.Label2->text(), "Password:");
  EXPECT_TRUE(ui.txtPwd->isEnabled());
  const std::string workgroup = platform::Machine().workgroup;
  const std::string user = platform::CurrentUserName();
  if (!workgroup.empty()) {
    EXPECT_EQ(Text(ui.txtIdent), workgroup + "\\" + user);
  }
  EXPECT_TRUE(form->ErrorLogText().isEmpty());
  EXPECT_FALSE(ui.txtErr->isVisibleTo(form.get()));
  EXPECT_FALSE(ui.Command3->isVisibleTo(form.get()));
}

TEST(InstallFormReadBack, MissingSinkLibraryIsLoggedAndLocksTheFields) {
  SetupPlatform platform;
  platform.RemoveSinkLibrary();
  auto form = OpenForm();
  const InstallFormControls& ui = form->ui();
  EXPECT_EQ(WithoutDate(form->ErrorLogText()),
            "[] File " + platform.workDir().string() +
                "/Drossgate.so not found. COM+ object installation is impossible.\r\n\r\n");
  EXPECT_FALSE(ui.Check1->isEnabled());
  EXPECT_FALSE(ui.Check1->isChecked());
  EXPECT_FALSE(ui.txtIdent->isEnabled());
  EXPECT_FALSE(ui.txtPwd->isEnabled());
  EXPECT_FALSE(ui.txtPriority->isEnabled());
  EXPECT_FALSE(ui.Check6->isEnabled());
  for (const RuleRow& row : ui.rows) {
    EXPECT_FALSE(row.txtSpamTag->isEnabled());
    EXPECT_TRUE(row.txtSpamFolder->isReadOnly());
  }
  EXPECT_TRUE(ui.txtErr->isVisibleTo(form.get()));
  EXPECT_TRUE(ui.Command3->isVisibleTo(form.get()));

  form->Command3_Click();
  EXPECT_TRUE(form->ErrorLogText().isEmpty());
  EXPECT_TRUE(ui.txtErr->toPlainText().isEmpty());
  EXPECT_FALSE(ui.txtErr->isVisibleTo(form.get()));
  EXPECT_FALSE(ui.Command3->isVisibleTo(form.get()));
}

TEST(InstallFormReadBack, ARunStartsWithAClearedLog) {
  SetupPlatform platform;
  platform.RemoveSinkLibrary();
  auto form = OpenForm();
  const QString first = form->ErrorLogText();
  ASSERT_FALSE(first.isEmpty());
  form->Command1_Click();
  // The run cleared the log, and its own initialisation logged the library once again.
  EXPECT_EQ(WithoutDate(form->ErrorLogText()), WithoutDate(first));
  EXPECT_TRUE(form->globals().InitDone);
}

// --- Field handlers -----------------------------------------------------------------------

TEST(InstallFormHandlers, ClearingAConditionResetsItsRow) {
  SetupPlatform platform;
  auto form = OpenForm();
  const RuleRow& row = form->ui().rows[0];
  row.List1->setCurrentIndex(kActionForward);
  ASSERT_TRUE(row.cmdBrowse->isEnabled());
  row.txtSpamTag->setText("  ");
  EXPECT_EQ(row.List1->currentIndex(), kActionMove);
  EXPECT_FALSE(row.List1->isEnabled());
  EXPECT_EQ(Text(row.txtSpamFolder), "");
  EXPECT_TRUE(row.txtSpamFolder->isReadOnly());
  EXPECT_FALSE(row.cmdBrowse->isEnabled());
  EXPECT_EQ(row.txtSpamTag->toolTip(), "  ");

  row.txtSpamTag->setText("Subject: [SPAM]");
  EXPECT_TRUE(row.List1->isEnabled());
  EXPECT_FALSE(row.txtSpamFolder->isReadOnly());
}

TEST(InstallFormHandlers, ChoosingAnActionSetsTheTarget) {
  SetupPlatform platform;
  auto form = OpenForm();
  const RuleRow& row = form->ui().rows[1];
  row.txtSpamTag->setText("Subject: x");
  struct Step {
    int action;
    const char* target;
    bool locked;
    bool browse;
  };
  const std::vector<Step> steps = {
      {kActionDelete, "[NULL]", false, false}, {kActionMove, "", false, false},
      {kActionSetScl, "9", false, false},      {kActionForward, "", true, true},
      {kActionSetScl, "9", false, false},      {kActionMove, "", false, false},
  };
  for (const Step& step : steps) {
    row.List1->setCurrentIndex(step.action);
    EXPECT_EQ(Text(row.txtSpamFolder), step.target) << "action " << step.action;
    EXPECT_EQ(row.txtSpamFolder->isReadOnly(), step.locked) << "action " << step.action;
    EXPECT_EQ(row.cmdBrowse->isEnabled(), step.browse) << "action " << step.action;
  }
  // A set-SCL value already there is kept.
  row.txtSpamFolder->setText("3");
  row.List1->setCurrentIndex(kActionDelete);
  row.txtSpamFolder->setText("3");
  row.List1->setCurrentIndex(kActionSetScl);
  EXPECT_EQ(Text(row.txtSpamFolder), "3");
}

TEST(InstallFormHandlers, SclTargetIsCheckedWhenLeft) {
  struct Case {
    const char* target;
    bool accepted;
  };
  const std::vector<Case> cases = {{"10", false}, {"", false}, {"1.5", false}, {"a", false},
                                   {"-1", true},  {"0", true}, {"9", true},    {" 7 ", true}};
  SetupPlatform platform;
  auto form = OpenForm();
  form->show();
  const RuleRow& row = form->ui().rows[0];
  row.List1->setCurrentIndex(kActionSetScl);
  for (const Case& c : cases) {
    platform.messages.clear();
    row.txtSpamFolder->setText(c.target);
    QFocusEvent leave(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(row.txtSpamFolder, &leave);
    QApplication::processEvents();
    if (c.accepted) {
      EXPECT_TRUE(platform.messages.empty()) << '"' << c.target << '"';
    } else {
      ASSERT_EQ(platform.messages.size(), 1u) << '"' << c.target << '"';
      EXPECT_EQ(platform.messages[0].text, "SCL should be from -1 To 9");
      EXPECT_EQ(platform.messages[0].title, "DrossgateSetup");
    }
    EXPECT_EQ(row.txtSpamFolder->toolTip(), row.txtSpamFolder->text());
  }
  // Leaving a move target never checks it.
  platform.messages.clear();
  row.List1->setCurrentIndex(kActionMove);
  row.txtSpamFolder->setText("10");
  QFocusEvent leave(QEvent::FocusOut, Qt::TabFocusReason);
  QApplication::sendEvent(row.txtSpamFolder, &leave);
  QApplication::processEvents();
  EXPECT_TRUE(platform.messages.empty());
}

TEST(InstallFormHandlers, PriorityKeepsItsLastValidValue) {
  SetupPlatform platform;
  auto form = OpenForm();
  QLineEdit* priority = form->ui().txtPriority;
  ASSERT_EQ(Text(priority), "65535");
  struct Step {
    const char* name;
    const char* set;  // null: type "typed" at the end instead
    const char* typed;
    const char* expected;
  };
  const std::vector<Step> steps = {
      {"a letter is not typed", nullptr, "a", "65535"},
      {"a minus is not typed", nullptr, "-", "65535"},
      {"an empty field restores", "", nullptr, "65535"},
      {"a small number is taken", "123", nullptr, "123"},
      {"a digit typed is taken", nullptr, "4", "1234"},
      {"a blank typed is taken", nullptr, " ", "1234 "},
      {"70000 restores", "70000", nullptr, "1234 "},
      {"twenty digits restore", "12345678901234567890", nullptr, "1234 "},
      {"a pasted letter restores", "12x", nullptr, "1234 "},
      {"zero is taken", "0", nullptr, "0"},
  };
  for (const Step& step : steps) {
    if (step.set) {
      priority->setText(step.set);
    } else {
      priority->setCursorPosition(priority->text().size());
      QTest::keyClicks(priority, step.typed);
    }
    EXPECT_EQ(Text(priority), step.expected) << step.name;
    EXPECT_EQ(form->globals().LastValidPriority.toStdString(), step.expected) << step.name;
  }
}

TEST(InstallFormHandlers, RegistrationBoxesNeedASelection) {
  SetupPlatform platform;
  platform.AddPerson(Person("Anna Lee", "annal", "annal@" + platform.domain()));
  platform.AddPerson(Person("Bert Ray", "bertr", "bertr@" + platform.domain()));
  platform.Register("bertr");
  auto form = OpenForm();
  const InstallFormControls& ui = form->ui();
  struct Case {
    QCheckBox* box;
    QListWidget* list;
    const char* message;
  };
  const std::vector<Case> cases = {
      {ui.Check3, ui.MbxInstList, "Please select the mailbox(es) for registration"},
      {ui.Check4, ui.MbxUninstList, "Please select the mailbox(es) for unregistration"},
  };
  for (const Case& c : cases) {
    ASSERT_GT(c.list->count(), 0);
    ASSERT_TRUE(c.box->isEnabled());
    platform.messages.clear();
    c.list->clearSelection();
    c.box->click();
    EXPECT_FALSE(c.box->isChecked()) << c.message;
    ASSERT_EQ(platform.messages.size(), 1u);
    EXPECT_EQ(platform.messages[0].text, c.message);
    EXPECT_EQ(platform.messages[0].icon, QMessageBox::Information);
    EXPECT_EQ(platform.messages[0].title, form->windowTitle());

    platform.messages.clear();
    c.list->item(0)->setSelected(true);
    c.box->click();
    EXPECT_TRUE(c.box->isChecked());
    EXPECT_TRUE(platform.messages.empty());
    c.box->click();
    EXPECT_FALSE(c.box->isChecked());
  }
}

TEST(InstallFormHandlers, SelectAllButtonsToggleTheirLists) {
  SetupPlatform platform;
  platform.AddPerson(Person("Anna Lee", "annal", "annal@" + platform.domain()));
  auto form = OpenForm();
  const InstallFormControls& ui = form->ui();
  ASSERT_GT(ui.MbxInstList->count(), 0);
  ui.Command5->click();
  EXPECT_EQ(ui.Command5->text(), "Deselect All");
  EXPECT_EQ(ui.MbxInstList->selectedItems().size(), ui.MbxInstList->count());
  ui.Command5->click();
  EXPECT_EQ(ui.Command5->text(), "Select All");
  EXPECT_TRUE(ui.MbxInstList->selectedItems().isEmpty());
  // Each click on an entry toggles it alone.
  QListWidgetItem* item = ui.MbxInstList->item(0);
  const QRect cell = ui.MbxInstList->visualItemRect(item);
  form->show();
  QTest::mouseClick(ui.MbxInstList->viewport(), Qt::LeftButton, {}, cell.center());
  EXPECT_TRUE(item->isSelected());
  QTest::mouseClick(ui.MbxInstList->viewport(), Qt::LeftButton, {}, cell.center());
  EXPECT_FALSE(item->isSelected());
}

}  // namespace
}  // namespace drossgate::setup
