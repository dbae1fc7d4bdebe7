#pragma once
// Registry reads that both deliverables make, over the platform registry. They never fail:
// a key or value that cannot be read counts as absent.

#include <string>
#include <string_view>

#include "system/registry.h"

namespace drossgate::common {

// True when the key can be opened (it is closed again at once).
bool RegKeyExists(platform::registry::Hive hive, const std::string& key);

// The text behind "=" of the "Path" entry of a share definition (NUL-separated entries), as
// the server's file shares are kept under LanmanServer\Shares; empty when there is none.
std::string ParseSharePath(std::string_view data);

}  // namespace drossgate::common
