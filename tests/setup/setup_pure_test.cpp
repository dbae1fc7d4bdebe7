// The setup tool's pieces that need no platform: command line, validations, text derivations.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>

#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ComPlus.h"
#include "CommandLine.h"
#include "Freeze.h"
#include "Globals.h"
#include "HScrollListBox.h"
#include "InstallForm.h"

namespace drossgate::setup {
namespace {

TEST(CommandLine, BatchModeFromTheFirstTwoCharacters) {
  struct Case {
    const char* name;
    QStringList arguments;
    bool batch;
    bool error;
  };
  const std::vector<Case> cases = {
      {"empty", {}, false, false},
      {"dash b", {"-b"}, true, false},
      {"upper dash B with more", {"-Bogus", "x"}, true, false},
      {"slash b", {"/b"}, true, false},
      {"slash B", {"/B"}, true, false},
      {"plain b", {"b"}, false, false},
      {"other first argument", {"x", "-b"}, false, false},
      {"dash other", {"-x"}, false, false},
      {"long option is no batch switch", {"--b"}, false, true},
      {"long option before the switch", {"--uninstall", "-b"}, true, false},
  };
  for (const Case& c : cases) {
    const ParsedCommandLine parsed = ParseCommandLine(c.arguments);
    EXPECT_EQ(parsed.options.batchMode, c.batch) << c.name;
    EXPECT_EQ(!parsed.error.empty(), c.error) << c.name << ": " << parsed.error;
  }
}

TEST(Validation, SclTargets) {
  struct Case {
    const char* target;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"-1", true},  {"0", true},  {"9", true},    {"+5", true},  {"-0", true},
      {"10", false}, {"", false},  {"1.5", false}, {"a", false},  {"-2", false},
      {"99", false}, {"-", false}, {"+", false},   {"1a", false}, {"-10", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsValidScl(c.target), c.valid) << '"' << c.target << '"';
}

TEST(Validation, PriorityTexts) {
  struct Case {
    const char* text;
    bool acceptable;
  };
  const std::vector<Case> cases = {
      {"0", true},
      {"65535", true},
      {"00065535", true},
      {" 12 ", true},
      {"65536", false},
      {"70000", false},
      {"12345678901234567890", false},
      {"", false},
      {"12a", false},
      {"1 2", false},
      {"-5", false},
      {"1.5", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsAcceptablePriority(c.text), c.acceptable) << '"' << c.text << '"';
}

TEST(Texts, ServerNameAfterTheLastCn) {
  struct Case {
    const char* value;
    const char* server;
  };
  const std::vector<Case> cases = {
      {"/o=Org/ou=Admin Group/cn=Configuration/cn=Servers/cn=MAIL1", "MAIL1"},
      {"CN=a/cn=B", "B"},
      {"no marker", ""},
      {"/o=Org/cn=", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ServerNameOf(c.value), c.server) << c.value;
}

TEST(Texts, DomainOfCategory) {
  struct Case {
    const char* category;
    const char* domain;
  };
  const std::vector<Case> cases = {
      {"CN=Person,CN=Schema,CN=Configuration,DC=corp,DC=example,DC=com", "corp.example.com"},
      {"CN=Person,CN=Schema,CN=Configuration,dc=example,DC=com", "example.com"},
      {"CN=Person,DC= example, DC=com", "example.com"},
      {"CN=Person,DC=example,DC=com,OU=x", "example.com"},
      {"CN=Person,CN=Schema", ""},
      {"CN=Person,DC=", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(DomainOfCategory(c.category), c.domain) << c.category;
}

TEST(Texts, MailSplitAtTheFirstAt) {
  struct Case {
    const char* mail;
    const char* alias;
    const char* domain;
  };
  const std::vector<Case> cases = {
      {"ann@example.com", "ann", "example.com"},
      {"a@b@c", "a", "b@c"},
      {"plain", "plain", "plain"},
      {"@example.com", "@example.com", "@example.com"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    const MailAddressParts parts = SplitMail(c.mail);
    EXPECT_EQ(parts.mailAlias, c.alias) << c.mail;
    EXPECT_EQ(parts.mailDomain, c.domain) << c.mail;
  }
}

TEST(Progress, PercentRoundsHalfToEven) {
  struct Case {
    int64_t count, scale;
    int32_t percent;
  };
  const std::vector<Case> cases = {
      {0, 7, 0},   {1, 8, 12}, {3, 8, 38}, {5, 8, 62},  {1, 200, 0},
      {3, 200, 2}, {1, 3, 33}, {2, 3, 67}, {7, 7, 100}, {1, 0, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PercentOf(c.count, c.scale), c.percent) << c.count << "/" << c.scale;
}

TEST(Progress, CountIsHeldAtTheScale) {
  QProgressBar bar;
  bar.setRange(0, 4);
  int32_t count = 0;
  UpdateStatus(1, bar, count);
  EXPECT_EQ(bar.format(), "25%");
  UpdateStatus(9, bar, count);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(bar.format(), "100%");
  EXPECT_EQ(bar.value(), 4);
}

TEST(ConstructorString, SplitIntoThreeLines) {
  struct Case {
    const char* name;
    std::string text;
    ConstructorLines lines;
  };
  const std::vector<Case> cases = {
      {"installed default",
       "Spam\t\rX-Spam-Flag: YES\t\r65535",
       {"Spam\t", "X-Spam-Flag: YES\t", "65535"}},
      {"blanks trimmed", " a \r b \r 7 ", {"a", "b", "7"}},
      {"no second line break", "a\rb", {"a", "b", ""}},
      {"second line starts with a break", "a\r\r9", {"a", "\r9", ""}},
      {"no break at all", "Spam", {"", "", ""}},
      {"break first", "\rX\r1", {"", "", ""}},
      {"empty", "", {"", "", ""}},
  };
  for (const Case& c : cases) {
    const ConstructorLines lines = SplitConstructorString(c.text);
    EXPECT_EQ(lines.targets, c.lines.targets) << c.name;
    EXPECT_EQ(lines.conditions, c.lines.conditions) << c.name;
    EXPECT_EQ(lines.priority, c.lines.priority) << c.name;
  }
}

TEST(ConstructorString, ActionFromTheTargetsForm) {
  struct Case {
    const char* target;
    int action;
    const char* shown;
  };
  const std::vector<Case> cases = {
      {"Spam", kActionMove, "Spam"},
      {"[NULL]", kActionDelete, "[NULL]"},
      {"[Null]", kActionDelete, "[Null]"},
      {"spam@example.com", kActionForward, "spam@example.com"},
      {"+5", kActionSetScl, "5"},
      {"-1", kActionSetScl, "-1"},
      {"+10", kActionMove, "+10"},
      {"5", kActionMove, "5"},
      {"", kActionMove, ""},
  };
  for (const Case& c : cases) {
    const ShownTarget shown = ShowTarget(c.target);
    EXPECT_EQ(shown.action, c.action) << c.target;
    EXPECT_EQ(shown.text, c.shown) << c.target;
  }
}

TEST(Lists, SelectAllTogglesItsCaptionAndKeepsTheCurrentEntry) {
  QListWidget list;
  list.setSelectionMode(QAbstractItemView::MultiSelection);
  list.addItems({"a", "b", "c"});
  list.setCurrentRow(1, QItemSelectionModel::NoUpdate);
  QPushButton button("Select All");
  InstallForm::ToggleListSelection(button, list);
  EXPECT_EQ(button.text(), "Deselect All");
  EXPECT_EQ(list.selectedItems().size(), 3);
  EXPECT_EQ(list.currentRow(), 1);
  InstallForm::ToggleListSelection(button, list);
  EXPECT_EQ(button.text(), "Select All");
  EXPECT_TRUE(list.selectedItems().isEmpty());
  EXPECT_EQ(list.currentRow(), 1);

  QListWidget empty;
  InstallForm::ToggleListSelection(button, empty);
  EXPECT_EQ(button.text(), "Deselect All");
  EXPECT_EQ(empty.count(), 0);
}

TEST(Lists, HorizontalExtentReachesTheWidestEntry) {
  QListWidget list;
  list.resize(120, 80);
  const QString wide = QString("Someone With A Very Long Name / MAIL1 / ") + QString(60, 'x');
  list.addItems({"short", wide});
  list.show();
  const int extent = SetHorizontalExtent(list);
  const QFontMetrics metrics(list.font());
  EXPECT_GE(extent, metrics.horizontalAdvance(wide));
  QApplication::processEvents();
  EXPECT_GE(list.horizontalScrollBar()->maximum() + list.viewport()->width(),
            metrics.horizontalAdvance(wide));
}

TEST(Messages, BatchModeWritesMessageBoxesToStderr) {
  std::ostringstream captured;
  std::streambuf* old = std::cerr.rdbuf(captured.rdbuf());
  SetMessagesToStderr(true);
  ShowMessage(nullptr, QMessageBox::Information, "Drossgate setup - batch mode",
              "Please select the mailbox(es) for registration");
  SetMessagesToStderr(false);
  std::cerr.rdbuf(old);
  EXPECT_EQ(captured.str(),
            "Drossgate setup - batch mode: Please select the mailbox(es) for registration\n");
}

TEST(Freeze, RedrawingResumesWhenTheObjectGoes) {
  QWidget window;
  auto widget = std::make_unique<QWidget>();
  {
    Freeze freeze;
    freeze.Form(window);
    EXPECT_FALSE(window.updatesEnabled());
    freeze.Form(*widget);
    EXPECT_TRUE(window.updatesEnabled());
    EXPECT_FALSE(widget->updatesEnabled());
  }
  EXPECT_TRUE(widget->updatesEnabled());
  {
    Freeze freeze;
    freeze.Form(*widget);
    widget.reset();  // the window may go first
  }
}

}  // namespace
}  // namespace drossgate::setup
