#pragma once
// Who may read which mailbox over IMAP. A login is checked by a bind as the user's entry when
// machine.json names an LDAP directory, else against the root's password file of salted
// SHA-512 crypt hashes ("mailbox passwd"); either way a user reaches only their own mailbox and
// holds at most so many connections. Logins never throw: a directory or file that cannot be
// used makes them unavailable, and says why on stderr.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <map>
#include <mutex>
#include <string>

#include "imap_session.h"

namespace drossgate::tools::imap {

// In the platform root: one "alias:hash" line per mailbox, its owner's alone.
inline constexpr const char* kPasswordFile = "passwords";

// Sets a mailbox's password (alias or address; the mailbox must exist), replacing any earlier
// one. Raises UsageError for an unknown mailbox or an empty password, std::runtime_error when
// the file cannot be written.
void SetPassword(const std::string& mailbox, const std::string& password);

// The service's logins: the connections each user holds, shared by all connections.
class Logins {
 public:
  explicit Logins(int maxPerUser) : maxPerUser_(maxPerUser) {}
  // Checks the credentials; peer names the client in what is logged.
  LoginResult Check(const std::string& user, const std::string& password, const std::string& peer);
  void Release(const std::string& mailbox);

 private:
  int maxPerUser_;
  std::mutex mutex_;
  std::map<std::string, int> held_;  // lower-case alias: connections
};

// One connection's Backend: its failed logins are delayed on its own thread.
class LoginBackend final : public Backend {
 public:
  LoginBackend(Logins& logins, std::string peer) : logins_(logins), peer_(std::move(peer)) {}
  LoginResult Login(const std::string& user, const std::string& password) override;
  void Logout(const std::string& mailbox) override { logins_.Release(mailbox); }
  std::unique_ptr<platform::store::mail::MailStore> Open(const std::string& mailbox) override;

 private:
  Logins& logins_;
  std::string peer_;
};

// A peer on this machine, where a password cannot be overheard: 127.0.0.0/8, ::1 (also as an
// IPv4-mapped address) or a Unix socket.
inline bool IsLoopback(const sockaddr_storage& peer) {
  if (peer.ss_family == AF_UNIX) return true;
  if (peer.ss_family == AF_INET)
    return ntohl(reinterpret_cast<const sockaddr_in&>(peer).sin_addr.s_addr) >> 24 == 127;
  if (peer.ss_family != AF_INET6) return false;
  const in6_addr& a = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
  return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
}

}  // namespace drossgate::tools::imap
