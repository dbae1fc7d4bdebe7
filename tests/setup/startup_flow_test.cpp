// The program's windows in order: the liability window, then the main window; a load that
// fails ends the program with the platform's message and a non-zero status.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <filesystem>
#include <functional>

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

TEST(StartupFlow, DisclaimerThenMainWindowThenExit) {
  SetupPlatform platform;
  bool sawDisclaimer = false;
  bool sawForm = false;
  const int status = RunWith([&] {
    if (auto* disclaimer = VisibleWindow<Disclaimer>("Disclaimer")) {
      sawDisclaimer = true;
      EXPECT_EQ(disclaimer->windowTitle(), "Drossgate setup");
      EXPECT_TRUE(disclaimer->Label1->text().startsWith("LIMITATION OF LIABILITY."));
      const QString file = QString::fromStdString(
          (testing::BinaryDir() / "tests" / "setup" / "Disclaimer.png").string());
      EXPECT_TRUE(disclaimer->grab().save(file));
      disclaimer->Command1->click();
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
  EXPECT_TRUE(sawForm);
  EXPECT_EQ(status, 0);
}

TEST(StartupFlow, DecliningEndsTheProgram) {
  SetupPlatform platform;
  bool sawForm = false;
  const int status = RunWith([&] {
    if (VisibleWindow<InstallForm>("InstallForm")) sawForm = true;
    if (auto* disclaimer = VisibleWindow<Disclaimer>("Disclaimer")) disclaimer->Command2->click();
  });
  EXPECT_FALSE(sawForm);
  EXPECT_EQ(status, 0);
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
