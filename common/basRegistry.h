#pragma once
// Registry reads that the deliverables and the platform tool make, over the platform registry.
// They never fail: a key or value that cannot be read counts as absent.

#include <string>
#include <string_view>

#include "system/registry.h"

namespace drossgate::common {

// True when the key can be opened (it is closed again at once).
bool RegKeyExists(platform::registry::Hive hive, const std::string& key);

// The key (below HKLM) of the server's file shares, one multi-string value a share.
inline constexpr const char* kSharesKey =
    "SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares";
// The share of the SMTP service's pickup directory.
inline constexpr const char* kPickupShare = "PickUp";
// The text behind "=" of the "Path" entry of a share definition (NUL-separated entries);
// empty when there is none.
std::string ParseSharePath(std::string_view data);

}  // namespace drossgate::common
