// The program's windows in order: the liability window, then the main window; a load that
// fails ends the program with the platform's message and a non-zero status.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <vector>

#include "Disclaimer.h"
#include "InstallForm.h"
#include "Startup.h"
#include "setup_fixture.h"
#include "testsupport.h"

namespace drossgate::setup {
namespace {

using test::SetupPlatform;

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

// Found: Return and Escape did nothing in the liability window.
TEST(StartupFlow, DisclaimerAcceptedOrDeclined) {
  struct Case {
    const char* name;
    std::function<void(Disclaimer&)> answer;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"Yes", [](Disclaimer& d) { d.Command1->click(); }, true},
      {"Return", [](Disclaimer& d) { QTest::keyClick(&d, Qt::Key_Return); }, true},
      {"No", [](Disclaimer& d) { d.Command2->click(); }, false},
      {"Escape", [](Disclaimer& d) { QTest::keyClick(&d, Qt::Key_Escape); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetupPlatform platform;
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
    EXPECT_EQ(status, 0);
  }
}

TEST(StartupFlow, UnreachableDirectoryEndsWithTheMessage) {
  SetupPlatform platform;
  std::filesystem::remove(platform.root() / "directory.ldif");
  const int status = RunWith([&] {
    if (auto* disclaimer = VisibleWindow<Disclaimer>("Disclaimer")) disclaimer->Command1->click();
  });
  EXPECT_EQ(status, 1);
  ASSERT_EQ(platform.messages.size(), 1u);
  EXPECT_EQ(platform.messages[0].icon, QMessageBox::Critical);
  EXPECT_TRUE(platform.messages[0].text.contains("directory"))
      << platform.messages[0].text.toStdString();
}

}  // namespace
}  // namespace drossgate::setup
