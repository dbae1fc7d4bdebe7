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
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <string>
#include <vector>

#include "InstallForm.h"
#include "setup_fixture.h"
#include "system/system.h"

namespace drossgate::setup {
namespace {

using test::OpenForm;
using test::SetupPlatform;

std::string Text(const QLineEdit* edit) {
  return edit->text().toStdString();
}

// The log with its dates and times taken out.
std::string WithoutDate(QString log) {
  return log.replace(QRegularExpression(R"(\[[^\]]*\])"), "[]").toStdString();
}

TEST(InstallFormStartUp, MachineStoreAndCatalogValues) {
  SetupPlatform platform;
  auto form = OpenForm();
  const InstallFormState& state = form->state();
  EXPECT_EQ(state.ShortComputerName, "mail1");
  EXPECT_EQ(state.DomainDNSName, "example.com");
  EXPECT_EQ(state.ComputerName, "mail1.example.com");
  EXPECT_EQ(state.FileFolderURL, "file://./backofficestorage/example.com/mbx");
  EXPECT_EQ(state.FolderURL, "http://mail1.example.com/exadmin/example.com/mbx");
  EXPECT_EQ(state.FolderPath, "\\\\.\\backofficestorage\\example.com\\mbx");
  EXPECT_EQ(form->globals().GlobalCatalogPath, "GC://" + platform::FullComputerName());
  EXPECT_TRUE(form->state().blnNotFirstTime);
}

TEST(InstallFormReadBack, InstalledConfigurationFillsAndLocksTheRows) {
  struct Case {
    const char* name;
    const char* componentName;
    bool constructionEnabled;
    // Per row condition, target and action, separated by '|'; then the priority.
    std::vector<std::string> rows;
    // What the log names when the sink cannot filter, which is then offered anew.
    const char* damage = "";
  };
  const std::vector<std::string> defaults = {"X-Spam-Flag: YES|Spam|0", "||0", "65535"};
  const std::vector<Case> cases = {
      {"every action",
       "Drossgate.DrossgateCls",
       true,
       {"A|Junk|0", "B|[Null]|1", "C|Desk <spam@example.com>|2", "D|5|3", "7"}},
      {"construction disabled shows the defaults", "Drossgate.DrossgateCls", false, defaults,
       "construction is not enabled for the component Drossgate.DrossgateCls"},
      {"component name in other case is not the sink", "drossgate.DrossgateCls", true, defaults,
       "the application Drossgate has no component"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetupPlatform platform;
    platform.InstallApplication("EXAMPLE\\sinkuser",
                                "Junk\t[Null]\tDesk <spam@example.com>\t+5\t\rA\tB\tC\tD\t\r7",
                                c.componentName, c.constructionEnabled);
    auto form = OpenForm();
    const InstallFormControls& ui = form->ui();
    for (size_t i = 0; i + 1 < c.rows.size(); ++i) {
      const QStringList row = QString::fromStdString(c.rows[i]).split('|');
      EXPECT_EQ(ui.rows[i].txtSpamTag->text(), row[0]) << "row " << i;
      EXPECT_EQ(ui.rows[i].txtSpamFolder->text(), row[1]) << "row " << i;
      EXPECT_EQ(ui.rows[i].List1->currentIndex(), row[2].toInt()) << "row " << i;
    }
    EXPECT_EQ(Text(ui.txtPriority), c.rows.back());
    EXPECT_EQ(form->globals().LastValidPriority.toStdString(), c.rows.back());
    if (*c.damage) {
      EXPECT_NE(form->ErrorLogText().indexOf("] Drossgate - ERROR: "), -1);
      EXPECT_NE(form->ErrorLogText().indexOf(c.damage), -1) << form->ErrorLogText().toStdString();
      EXPECT_TRUE(ui.Check1->isChecked());
      EXPECT_TRUE(ui.Check6->isEnabled());
      EXPECT_TRUE(ui.rows[0].txtSpamTag->isEnabled());
      continue;
    }
    // An installed application's configuration is shown, not edited.
    for (const RuleRow& row : ui.rows) {
      EXPECT_FALSE(row.txtSpamTag->isEnabled());
      EXPECT_FALSE(row.List1->isEnabled());
      EXPECT_TRUE(row.txtSpamFolder->isReadOnly());
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
  }
}

TEST(InstallFormReadBack, MissingSinkLibraryIsLoggedAndLocksTheFields) {
  SetupPlatform platform;
  platform.RemoveSinkLibrary();
  auto form = OpenForm();
  const InstallFormControls& ui = form->ui();
  EXPECT_EQ(WithoutDate(form->ErrorLogText()),
            "[] File " + platform.workDir().string() +
                "/Drossgate.so not found. COM+ object installation is impossible.\r\n\r\n");
  EXPECT_FALSE(ui.Check1->isChecked());
  for (QWidget* field :
       {static_cast<QWidget*>(ui.Check1), static_cast<QWidget*>(ui.txtIdent),
        static_cast<QWidget*>(ui.txtPwd), static_cast<QWidget*>(ui.txtPriority),
        static_cast<QWidget*>(ui.Check6), static_cast<QWidget*>(ui.rows[3].txtSpamTag)})
    EXPECT_FALSE(field->isEnabled()) << field->objectName().toStdString();
  EXPECT_TRUE(ui.txtErr->isVisibleTo(form.get()));
  EXPECT_TRUE(ui.Command3->isVisibleTo(form.get()));

  const QString first = form->ErrorLogText();
  form->Command1_Click();
  // The run cleared the log, and its own initialisation logged the library once again.
  EXPECT_EQ(WithoutDate(form->ErrorLogText()), WithoutDate(first));
  EXPECT_TRUE(form->globals().InitDone);

  form->Command3_Click();
  EXPECT_TRUE(ui.txtErr->toPlainText().isEmpty());
  EXPECT_FALSE(ui.txtErr->isVisibleTo(form.get()));
}

// --- Field handlers -----------------------------------------------------------------------

// A row's action decides its target and whether Browse opens the recipient picker; a cleared
// condition resets the row.
TEST(InstallFormHandlers, ConditionAndActionSetTheTarget) {
  SetupPlatform platform;
  auto form = OpenForm();
  const RuleRow& row = form->ui().rows[1];
  struct Step {
    const char* name;
    const char* condition;  // null: unchanged
    int action;             // -1: unchanged
    const char* target;     // when not empty: typed under "delete" before the step
    const char* shown;
    bool locked;
    bool browse;
    bool actionEnabled = true;
  };
  const std::vector<Step> steps = {
      {"a condition opens the row", "Subject: x", -1, "", "", false, false},
      {"delete", nullptr, kActionDelete, "", "[NULL]", false, false},
      {"move", nullptr, kActionMove, "", "", false, false},
      {"set SCL", nullptr, kActionSetScl, "", "9", false, false},
      {"forward", nullptr, kActionForward, "", "", true, true},
      {"set SCL again", nullptr, kActionSetScl, "", "9", false, false},
      {"a set-SCL value there is kept", nullptr, kActionSetScl, "3", "3", false, false},
      {"forward again", nullptr, kActionForward, "", "", true, true},
      {"a blank condition resets the row", "  ", -1, "", "", true, false, false},
  };
  for (const Step& step : steps) {
    if (step.condition) row.txtSpamTag->setText(step.condition);
    if (*step.target) {
      row.List1->setCurrentIndex(kActionDelete);
      row.txtSpamFolder->setText(step.target);
    }
    if (step.action >= 0) row.List1->setCurrentIndex(step.action);
    EXPECT_EQ(Text(row.txtSpamFolder), step.shown) << step.name;
    EXPECT_EQ(row.txtSpamFolder->isReadOnly(), step.locked) << step.name;
    EXPECT_EQ(row.cmdBrowse->isEnabled(), step.browse) << step.name;
    EXPECT_EQ(row.List1->isEnabled(), step.actionEnabled) << step.name;
  }
  EXPECT_EQ(row.List1->currentIndex(), kActionMove);
}

TEST(InstallFormHandlers, SclTargetIsCheckedWhenLeft) {
  struct Case {
    int action;
    const char* target;
    bool accepted;
  };
  const std::vector<Case> cases = {{kActionSetScl, "10", false},
                                   {kActionSetScl, "", false},
                                   {kActionSetScl, "-1", true},
                                   {kActionSetScl, " 7 ", true},
                                   {kActionMove, "10", true}};  // a move target is never checked
  SetupPlatform platform;
  auto form = OpenForm();
  form->show();
  const RuleRow& row = form->ui().rows[0];
  for (const Case& c : cases) {
    platform.messages.clear();
    row.List1->setCurrentIndex(c.action);
    row.txtSpamFolder->setText(c.target);
    QFocusEvent leave(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(row.txtSpamFolder, &leave);
    QApplication::processEvents();
    if (c.accepted) {
      EXPECT_TRUE(platform.messages.empty()) << '"' << c.target << '"';
    } else {
      ASSERT_EQ(platform.messages.size(), 1u) << '"' << c.target << '"';
      EXPECT_EQ(platform.messages[0].text, "SCL should be from -1 To 9");
    }
  }
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
  platform.AddPerson({.cn = "Anna Lee", .alias = "annal", .mail = "annal@" + platform.domain()});
  platform.AddPerson({.cn = "Bert Ray", .alias = "bertr", .mail = "bertr@" + platform.domain()});
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
  platform.AddPerson({.cn = "Anna Lee", .alias = "annal", .mail = "annal@" + platform.domain()});
  auto form = OpenForm();
  const InstallFormControls& ui = form->ui();
  ASSERT_GT(ui.MbxInstList->count(), 0);
  ui.Command5->click();
  EXPECT_EQ(ui.MbxInstList->selectedItems().size(), ui.MbxInstList->count());
  // Found: a refill left the caption at "Deselect All" over a list with nothing selected.
  ui.Check7->click();
  EXPECT_EQ(ui.Command5->text().toStdString(), "Select All");
  ui.Command5->click();
  EXPECT_EQ(ui.MbxInstList->selectedItems().size(), ui.MbxInstList->count());
}

}  // namespace
}  // namespace drossgate::setup
