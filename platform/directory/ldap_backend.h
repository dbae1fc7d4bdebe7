#pragma once
// The directory on an LDAP server, through OpenLDAP's client library, for a machine.json whose
// "directory" is {"ldap": URL, "gc": URL, "bind_dn": DN, "password_file": PATH} (either URL
// may stand for both; no bind_dn binds anonymously). The server's failures become
// PlatformError with its own message: errors::kServerDown when it cannot be reached,
// kLogonFailure for refused credentials, kTimeLimit when a search runs out of time.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

#include "directory/backend.h"
#include "error.h"
#include "system/system.h"

namespace drossgate::platform::directory {

// In the platform library:
// True when a "directory" setting of machine.json names an LDAP server.
bool NamesLdapServer(const DirectoryConfig& config);
// The backend for that setting. The LDAP client and its TLS stack are loaded only then, from
// libdrossgate_ldap.so beside the platform library, so that a process that never asks a server
// does not pay for them; a library that cannot be loaded gives a backend whose every call fails
// with kServerDown saying why.
std::shared_ptr<Backend> LdapBackendFor(const DirectoryConfig& config,
                                        const std::filesystem::path& root);

// In libdrossgate_ldap.so:
// The backend itself; one per root and setting in a process, so that connections and what was
// learnt of the server are kept. A setting that cannot be used gives a backend whose every call
// fails with kServerDown saying why.
std::shared_ptr<Backend> LdapServerBackend(const DirectoryConfig& config,
                                           const std::filesystem::path& root);

// The platform error for an LDAP result code: number and text by the kind of failure, then the
// server (url), the library's text for the code and the server's diagnostic message. subject
// names the object concerned, if any; otherwise is the number for codes of no particular kind.
// bind tells a refused bind, whatever its code, from other refusals.
PlatformError LdapError(int code, std::string_view diagnostic, std::string_view url,
                        std::string_view subject = {}, int32_t otherwise = errors::kBadQuery,
                        bool bind = false);

}  // namespace drossgate::platform::directory
