#pragma once
// A private directory server for tests: Debian's slapd on a free loopback port, its
// configuration (a schema of the platform's attributes, an mdb database) and data in a
// temporary folder, never the system's service. Stopped when the object goes. When slapd is
// missing or will not start, Available() is false and Why() says so, for a GTEST_SKIP.

#include <filesystem>
#include <string>

#include "testsupport.h"

namespace drossgate::testing {

// A loopback port nobody listens on right now, and whether one takes connections.
int FreePort();
bool Accepts(int port);

class SlapdServer {
 public:
  struct Options {
    std::string suffix = "DC=example,DC=com";
    std::string rootDn = "CN=Manager,DC=example,DC=com";
    std::string rootPassword = "manager-secret";
    // Entries a search may return to anyone but the root DN; 0 for no limit. Paged searches
    // are exempt, so that paging shows.
    int sizeLimit = 0;
  };

  explicit SlapdServer(Options options);
  SlapdServer() : SlapdServer(Options{}) {}
  ~SlapdServer();
  SlapdServer(const SlapdServer&) = delete;
  SlapdServer& operator=(const SlapdServer&) = delete;

  bool Available() const { return child_.pid > 0; }
  const std::string& Why() const { return why_; }
  const Options& options() const { return options_; }
  std::string Url() const { return "ldap://127.0.0.1:" + std::to_string(port_); }

  // Adds the entries of an LDIF file as the root DN (ldapadd), with keepExisting leaving those
  // that are there already as they are; false, with Why(), on failure.
  bool Load(const std::filesystem::path& ldif, bool keepExisting = false);
  // Stops the server and waits for it; the port stays closed afterwards.
  void Stop();
  // Freezes the server (SIGSTOP): connections stay open and requests go unanswered.
  void Pause();
  void Resume();

 private:
  bool StartOnce();
  std::string Log() const;

  Options options_;
  TempDir dir_;
  int port_ = 0;
  Child child_;
  std::string why_;
};

}  // namespace drossgate::testing
