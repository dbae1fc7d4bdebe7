#include "cli.h"

namespace drossgate::tools {

void AddDirectoryCommands(CLI::App& app) { (void)app; }

}  // namespace drossgate::tools
