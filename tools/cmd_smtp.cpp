#include "cli.h"

namespace drossgate::tools {

void AddSmtpCommand(CLI::App& app) { (void)app; }

}  // namespace drossgate::tools
