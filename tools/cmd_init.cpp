#include "cli.h"

namespace drossgate::tools {

void AddInitCommand(CLI::App& app) { (void)app; }

}  // namespace drossgate::tools
