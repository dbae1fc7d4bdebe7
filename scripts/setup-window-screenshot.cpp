// Draws the setup program's main window as it opens on the platform that DROSSGATE_PLATFORM
// names, with the first mailbox of "Register per-mailbox" selected, into the PNG file given.
// Run through scripts/setup-window-screenshot.sh, which makes a demo platform for it.

#include <QApplication>
#include <QListWidget>

#include <iostream>

#include "InstallForm.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: setup-window-screenshot FILE.png\n";
    return 64;
  }
  QApplication app(argc, argv);
  drossgate::setup::InstallForm form{drossgate::setup::SetupOptions{}};
  form.Form_Load();
  form.show();
  for (int i = 0; i < 200 && !form.globals().InitDone; ++i) QApplication::processEvents();
  if (QListWidget* list = form.ui().MbxInstList; list->count() > 0)
    list->item(0)->setSelected(true);
  QApplication::processEvents();
  if (!form.grab().save(QString::fromLocal8Bit(argv[1]))) {
    std::cerr << "cannot write " << argv[1] << "\n";
    return 1;
  }
  return 0;
}
