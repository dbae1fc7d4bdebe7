#include "cli.h"

namespace drossgate::tools {

void AddCatalogCommands(CLI::App& app) { (void)app; }

}  // namespace drossgate::tools
