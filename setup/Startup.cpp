#include "Startup.h"

#include <sys/stat.h>

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>

#include "Disclaimer.h"
#include "Globals.h"
#include "InstallForm.h"
#include "Unattended.h"
#include "error.h"
#include "system/atomic_file.h"
#include "system/system.h"

namespace drossgate::setup {

namespace {

QtMessageHandler g_toolkitHandler = nullptr;

// Only what ends the program gets through; nothing of ours goes this way.
void DropToolkitWarnings(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if ((type == QtCriticalMsg || type == QtFatalMsg) && g_toolkitHandler)
    g_toolkitHandler(type, context, text);
}

}  // namespace

HeadlessRun::~HeadlessRun() {
  if (runtimeFolder_.empty()) return;
  std::error_code error;
  std::filesystem::remove_all(runtimeFolder_, error);
}

std::unique_ptr<HeadlessRun> PrepareDisplay(const SetupOptions& options) {
  const bool nobodyThere = options.batchMode || options.unattended.active;
  if (!nobodyThere) return nullptr;
  auto run = std::make_unique<HeadlessRun>();
  g_toolkitHandler = qInstallMessageHandler(DropToolkitWarnings);
  // Set but empty counts as not set, as it does for the toolkit.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    // The unattended run never shows its window, so it needs no screen at all.
    if (options.unattended.active ||
        (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")))
      qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
    std::error_code error;
    std::string folder =
        (std::filesystem::temp_directory_path(error) / "drossgate-setup-XXXXXX").string();
    // mkdtemp makes it the owner's alone.
    if (!error && mkdtemp(folder.data())) {
      run->runtimeFolder_ = folder;
      qputenv("XDG_RUNTIME_DIR", folder.c_str());
    }
  }
  return run;
}

int RunSetup(const SetupOptions& options) {
  // What the run creates (lock file, catalog, registry) is the owner's alone, and a root made
  // under a loose umask, or by an older version, is made private.
  umask(077);
  try {
    platform::TightenRootModes(platform::PlatformRoot());
  } catch (const platform::PlatformError&) {
    // No root: start-up says so in its own words.
  }
  if (options.unattended.active) {
    // A password on standard input is read a character at a time, so that no stdio buffer
    // keeps a copy of it.
    if (options.unattended.passwordFile == "-") std::setvbuf(stdin, nullptr, _IONBF, 0);
    return RunUnattended(options, std::cin, std::cout, std::cerr);
  }
  int failure = 0;
  std::unique_ptr<InstallForm> form;
  std::unique_ptr<Disclaimer> disclaimer;

  auto openForm = [&]() -> bool {
    form = std::make_unique<InstallForm>(options);
    QObject::connect(form.get(), &InstallForm::failed, [&failure](int status) {
      failure = status;
      QCoreApplication::exit(status);
    });
    try {
      form->Form_Load();
    } catch (const platform::PlatformError& error) {
      ShowMessage(nullptr, QMessageBox::Critical, kProgramTitle, FatalErrorText(error));
      failure = 1;
      return false;
    } catch (const std::exception& error) {
      ShowMessage(nullptr, QMessageBox::Critical, kProgramTitle, QString::fromUtf8(error.what()));
      failure = 1;
      return false;
    }
    form->show();
    return true;
  };

  if (options.batchMode) {
    // Nobody is there to accept the terms; batch mode renews an existing installation.
    SetMessagesToStderr(true);
    if (!openForm()) return failure;
  } else {
    disclaimer = std::make_unique<Disclaimer>();
    QObject::connect(disclaimer.get(), &Disclaimer::accepted, [&] {
      if (!openForm()) QCoreApplication::exit(failure);
    });
    QObject::connect(disclaimer.get(), &Disclaimer::declined, [] { QCoreApplication::exit(0); });
    disclaimer->show();
  }
  const int status = QApplication::exec();
  return failure != 0 ? failure : status;
}

}  // namespace drossgate::setup
