#include "cli.h"

namespace drossgate::tools {

void AddStoreCommands(CLI::App& app) { (void)app; }

}  // namespace drossgate::tools
