#pragma once
// Where the platform lives and what it knows about this machine. The platform root is the
// directory named by DROSSGATE_PLATFORM (or set explicitly by a host); machine.json inside it
// names the computer, domain, user and workstation domain. A missing root or an unreadable
// machine.json raises PlatformError with a message that says which file is at fault.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "com/com.h"

namespace drossgate::platform {

// The platform root: the explicit one if set, else $DROSSGATE_PLATFORM. Raises when neither
// is set or the folder does not exist.
std::filesystem::path PlatformRoot();
// A host (drossgate-platform --root) chooses the root for this process; empty clears it.
void SetPlatformRoot(const std::filesystem::path& root);

// machine.json's "directory": absent or null for the root's LDIF file, else an object naming a
// backend ("backend": "ldif" or "none") or an LDAP server ("ldap", "gc", "bind_dn",
// "password_file").
struct DirectoryConfig {
  bool given = false;     // present and not null
  bool isObject = false;  // an object (else the backends say it names none)
  // The object's members that are not null: their text, or nullopt for a value that is not
  // text, so that the backend can name the member that is wrong.
  std::map<std::string, std::optional<std::string>> members;

  // A member's text; empty when absent, nullopt when it is not text.
  std::optional<std::string> Member(const std::string& name) const;
  bool Has(const std::string& name) const { return members.count(name) != 0; }
  // An object with these members (all text).
  static DirectoryConfig Of(const std::map<std::string, std::string>& members);
  friend bool operator==(const DirectoryConfig&, const DirectoryConfig&) = default;
};

struct MachineInfo {
  std::string computerName;  // NetBIOS-style short name, as written (e.g. "MAIL1")
  std::string domainName;    // DNS name of the domain (e.g. "example.com")
  std::string userName;      // the account the programs run as
  std::string workgroup;     // workstation LAN group (domain or workgroup); may be empty
  DirectoryConfig directory;
  // The services' settings, "section.name" (e.g. "lmtp.max_sessions") to the value as text:
  // numbers in decimal, true/false, strings as written.
  std::map<std::string, std::string> settings;

  // A whole-number setting; fallback when absent. Raises errors::kCorrupt, naming the setting,
  // when it is there but not a whole number from minimum to maximum.
  int64_t Number(const std::string& key, int64_t fallback, int64_t minimum = 0,
                 int64_t maximum = INT64_MAX) const;
  std::string Text(const std::string& key, const std::string& fallback = {}) const;
  bool Flag(const std::string& key, bool fallback) const;
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
