#pragma once
// Where the platform lives and what it knows about this machine. The platform root is the
// directory named by DROSSGATE_PLATFORM (or set explicitly by a host); machine.json inside it
// names the computer, domain, user and workstation domain. A missing root or an unreadable
// machine.json raises PlatformError with a message that says which file is at fault.

#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "com/com.h"

namespace drossgate::platform {

// The platform root: the explicit one if set, else $DROSSGATE_PLATFORM. Raises when neither
// is set or the folder does not exist.
std::filesystem::path PlatformRoot();
// A host (drossgate-platform --root) chooses the root for this process; empty clears it.
void SetPlatformRoot(const std::filesystem::path& root);

struct MachineInfo {
  std::string computerName;  // NetBIOS-style short name, as written (e.g. "MAIL1")
  std::string domainName;    // DNS name of the domain (e.g. "example.com")
  std::string userName;      // the account the programs run as
  std::string workgroup;     // workstation LAN group (domain or workgroup); may be empty
  nlohmann::json directory;  // optional directory backend settings; null for the LDIF file
};

// machine.json of the current root, cached per root and reloaded when the file changes.
const MachineInfo& Machine();
// Writes machine.json (mode 0600) into root.
void WriteMachineInfo(const std::filesystem::path& root, const MachineInfo& info);

// The COMPUTERNAME environment value of the real platform: the computer name.
std::string ComputerNameEnvironment();
// The user name of the running thread (GetUserName).
std::string CurrentUserName();
// Fully qualified computer name: computer name, ".", domain, lower case.
std::string FullComputerName();

// A fresh GUID from libuuid; nullopt when the generator fails.
std::optional<com::Guid> CreateGuid();

}  // namespace drossgate::platform
