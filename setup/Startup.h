#pragma once
// How the program runs: the liability window, then the main window; in batch mode the main
// window alone, which closes itself when its work is done. The result is the exit status:
// non-zero when the platform failed the program.

#include "CommandLine.h"

namespace drossgate::setup {

// Before the application object exists: batch mode on a machine without a display, and the
// unattended run always, run on Qt's offscreen platform, so that they need nobody's screen.
void ChooseDisplayForBatchMode(const SetupOptions& options);

// Runs the windows in the existing QApplication until the program ends, or the unattended
// run when its options were given.
int RunSetup(const SetupOptions& options);

}  // namespace drossgate::setup
