#pragma once
// "--test-message": what the sink would do on delivering a message file into a mailbox, found
// without delivering it and without changing anything. The rules are decided by the code the
// sink runs, on the subject, header block and SCL a delivery would record. Bad input is reported
// on err with a documented exit status (ExitStatus), and nothing else is printed.

#include <ostream>

#include "CommandLine.h"

namespace drossgate::setup {

// Needs no display and no QApplication. kExitDone whether a rule matches or not.
int RunMessageTest(const SetupOptions& options, std::ostream& out, std::ostream& err);

}  // namespace drossgate::setup
