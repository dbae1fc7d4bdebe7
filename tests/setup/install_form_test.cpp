// The main window on a demo platform: the read-back of an installed configuration, the control
// states and the field handlers; and the program's windows in order, the liability window first.

#include <QComboBox>
#include <QPlainTextEdit>
#include <QRegularExpression>

#include <functional>

#include "Disclaimer.h"
#include "Startup.h"
#include "setup_fixture.h"

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

TEST(InstallFormReadBack, InstalledConfigurationFillsAndLocksTheRows) {
  struct Case {
    const char* name;
    const char* componentName;
    bool constructionEnabled;
    const char* shown;   // per row "condition|action|target", rows and priority separated by ';'
    const char* damage;  // what the log names when the sink cannot filter, then offered anew
  };
  const char* defaults = "X-Spam-Flag: YES|0|Spam;|0|;|0|;|0|;65535";
  const std::vector<Case> cases = {
      {"every action", "Drossgate.DrossgateCls", true,
       "A|0|Junk;B|1|[Null];C|2|Desk <spam@example.com>;D|3|5;7", ""},
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
    std::string shown;
    for (const RuleRow& row : ui.rows)
      shown += Text(row.txtSpamTag) + "|" + std::to_string(row.List1->currentIndex()) + "|" +
               Text(row.txtSpamFolder) + ";";
    EXPECT_EQ(shown + Text(ui.txtPriority), c.shown);
    EXPECT_EQ(form->globals().LastValidPriority, ui.txtPriority->text());
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
      EXPECT_FALSE(row.txtSpamTag->isEnabled() || row.List1->isEnabled() ||
                   row.cmdBrowse->isEnabled());
      EXPECT_TRUE(row.txtSpamFolder->isReadOnly());
    }
    EXPECT_FALSE(ui.Check1->isEnabled() || ui.Check1->isChecked() || ui.txtIdent->isEnabled() ||
                 ui.txtPwd->isVisibleTo(form.get()) || ui.txtPriority->isEnabled());
    EXPECT_TRUE(ui.Check6->isEnabled());
    EXPECT_EQ(Text(ui.txtIdent), "EXAMPLE\\sinkuser");
    EXPECT_EQ(ui.Label2->text(), "Password: ********");
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
  for (QWidget* field : std::vector<QWidget*>{ui.Check1, ui.txtIdent, ui.txtPwd, ui.txtPriority,
                                              ui.Check6, ui.rows[3].txtSpamTag})
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

// A window on the demo platform, ada registered.
class InstallFormHandlers : public ::testing::Test {
 protected:
  SetupPlatform platform;
  std::unique_ptr<InstallForm> form = [this] {
    platform.Register("ada");
    return OpenForm();
  }();
  const InstallFormControls& ui = form->ui();
};

// A row's action decides its target and whether Browse opens the recipient picker; a cleared
// condition resets the row.
TEST_F(InstallFormHandlers, ConditionAndActionSetTheTarget) {
  const RuleRow& row = ui.rows[1];
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

TEST_F(InstallFormHandlers, PriorityKeepsItsLastValidValue) {
  QLineEdit* priority = ui.txtPriority;
  ASSERT_EQ(Text(priority), "65535");
  struct Step {
    const char* name;
    const char* set;  // null: type "typed" at the end instead
    const char* typed;
    const char* expected;
  };
  const std::vector<Step> steps = {
      {"a letter is not typed", nullptr, "a", "65535"},
      {"an empty field restores", "", nullptr, "65535"},
      {"a small number is taken", "123", nullptr, "123"},
      {"a digit typed is taken", nullptr, "4", "1234"},
      {"a blank typed is taken", nullptr, " ", "1234 "},
      {"70000 restores", "70000", nullptr, "1234 "},
      {"twenty digits restore", "12345678901234567890", nullptr, "1234 "},
      {"a pasted letter restores", "12x", nullptr, "1234 "},
      {"a pasted minus restores", "-5", nullptr, "1234 "},
      {"a decimal point restores", "1.5", nullptr, "1234 "},
      {"leading zeros are taken", "00065535", nullptr, "00065535"},
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

TEST_F(InstallFormHandlers, RegistrationBoxesNeedASelection) {
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
    for (const bool selected : {false, true}) {
      platform.messages.clear();
      c.list->clearSelection();
      if (selected) c.list->item(0)->setSelected(true);
      c.box->click();
      EXPECT_EQ(c.box->isChecked(), selected) << c.message;
      EXPECT_EQ(platform.messages.empty() ? QString() : platform.messages[0].text,
                QString(selected ? "" : c.message));
    }
    c.box->click();
    EXPECT_FALSE(c.box->isChecked());
  }
}

TEST_F(InstallFormHandlers, SelectAllButtonsToggleTheirLists) {
  ASSERT_GT(ui.MbxInstList->count(), 0);
  ui.Command5->click();
  EXPECT_EQ(ui.MbxInstList->selectedItems().size(), ui.MbxInstList->count());
  // Found: a refill left the caption at "Deselect All" over a list with nothing selected.
  ui.Check7->click();
  EXPECT_EQ(ui.Command5->text().toStdString(), "Select All");
  ui.Command5->click();
  EXPECT_EQ(ui.MbxInstList->selectedItems().size(), ui.MbxInstList->count());
}

// --- Start-up ------------------------------------------------------------------------------

template <typename W>
W* VisibleWindow(const char* name) {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (widget->objectName() == name && widget->isVisible()) return qobject_cast<W*>(widget);
  return nullptr;
}

// Drives the windows from a timer while RunSetup runs the event loop.
int RunWith(const std::function<void()>& tick) {
  QTimer driver;
  driver.setInterval(10);
  QObject::connect(&driver, &QTimer::timeout, tick);
  driver.start();
  QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });  // never hang the suite
  return RunSetup(SetupOptions{});
}

// Found: Return and Escape did nothing in the liability window. A load that fails after it
// ends the program with the platform's message.
TEST(StartupFlow, DisclaimerAcceptedOrDeclined) {
  struct Case {
    const char* name;
    std::function<void(Disclaimer&)> answer;
    bool accepted;
    int status = 0;  // 1: the directory is unreachable
  };
  const auto yes = [](Disclaimer& d) { d.Command1->click(); };
  const std::vector<Case> cases = {
      {"Yes", yes, true},
      {"Return", [](Disclaimer& d) { QTest::keyClick(&d, Qt::Key_Return); }, true},
      {"No", [](Disclaimer& d) { d.Command2->click(); }, false},
      {"Escape", [](Disclaimer& d) { QTest::keyClick(&d, Qt::Key_Escape); }, false},
      {"Yes, with the directory unreachable", yes, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetupPlatform platform;
    if (c.status) std::filesystem::remove(platform.root() / "directory.ldif");
    bool sawDisclaimer = false;
    bool sawForm = false;
    const int status = RunWith([&] {
      if (auto* disclaimer = VisibleWindow<Disclaimer>("Disclaimer")) {
        sawDisclaimer = true;
        c.answer(*disclaimer);
        return;
      }
      auto* form = VisibleWindow<InstallForm>("InstallForm");
      if (form && form->globals().InitDone) {
        sawForm = true;
        EXPECT_EQ(VisibleWindow<Disclaimer>("Disclaimer"), nullptr);
        form->ui().Command2->click();
      }
    });
    EXPECT_TRUE(sawDisclaimer);
    EXPECT_EQ(sawForm, c.accepted);
    EXPECT_EQ(status, c.status);
    ASSERT_EQ(platform.messages.size(), c.status ? 1u : 0u);
    if (c.status) {
      EXPECT_EQ(platform.messages[0].icon, QMessageBox::Critical);
      EXPECT_TRUE(platform.messages[0].text.contains("directory"));
    }
  }
}

}  // namespace
}  // namespace drossgate::setup
