#pragma once
// Registry reads that both deliverables make, over the platform registry. They never fail:
// a key or value that cannot be read counts as absent.

#include <string>

#include "system/registry.h"

namespace drossgate::common {

// True when the key can be opened (it is closed again at once).
bool RegKeyExists(platform::registry::Hive hive, const std::string& key);

// The string value, or empty when the key or the value cannot be read.
std::string RegReadString(platform::registry::Hive hive, const std::string& key,
                          const std::string& value);

}  // namespace drossgate::common
