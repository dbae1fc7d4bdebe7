#pragma once
// How the program runs: the liability window, then the main window; in batch mode the main
// window alone, which closes itself when its work is done. The result is the exit status:
// non-zero when the platform failed the program.

#include <memory>
#include <string>

#include "CommandLine.h"

namespace drossgate::setup {

// Before the application object exists: batch mode on a machine without a display, and the
// unattended run always, run on Qt's offscreen platform, so that they need nobody's screen. A
// run without a person (batch mode, the unattended run) writes only its own messages to stderr,
// as a scheduled job's output is mailed to the administrator: the toolkit's warnings are
// dropped, and the offscreen platform gets a private runtime folder when the environment names
// none. The folder lasts as long as the returned object.
class HeadlessRun {
 public:
  HeadlessRun() = default;
  ~HeadlessRun();
  HeadlessRun(const HeadlessRun&) = delete;
  HeadlessRun& operator=(const HeadlessRun&) = delete;

 private:
  friend std::unique_ptr<HeadlessRun> PrepareDisplay(const SetupOptions& options);
  std::string runtimeFolder_;
};
std::unique_ptr<HeadlessRun> PrepareDisplay(const SetupOptions& options);

// Runs the windows in the existing QApplication until the program ends, or the unattended
// run when its options were given.
int RunSetup(const SetupOptions& options);

}  // namespace drossgate::setup
