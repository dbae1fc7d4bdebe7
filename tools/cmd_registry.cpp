#include "cli.h"

namespace drossgate::tools {

void AddRegistryCommands(CLI::App& app) { (void)app; }

}  // namespace drossgate::tools
