#include "Startup.h"

#include <sys/stat.h>

#include <QApplication>

#include <cstdio>
#include <cstdlib>
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

void ChooseDisplayForBatchMode(const SetupOptions& options) {
  if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) return;
  // The unattended run never shows its window, so it needs no screen at all.
  if (!options.unattended.active) {
    if (!options.batchMode) return;
    if (qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY"))
      return;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
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
