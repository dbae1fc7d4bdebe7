#include "slapd_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

namespace drossgate::testing {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kStartTimeout = 15s;

// Debian's paths: a plain user's PATH may lack /usr/sbin.
const char* const kSlapd = "/usr/sbin/slapd";
const char* const kLdapAdd = "/usr/bin/ldapadd";

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

}  // namespace

// The server may still lose its port to someone else, so starting is retried on another.
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  socklen_t len = sizeof a;
  const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
  if (fd >= 0) close(fd);
  return ok ? ntohs(a.sin_port) : 0;
}

bool Accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(port);
  const bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

namespace {

// The server's schema: the attributes and object classes the platform's directory data uses,
// stored as a Windows domain's directory stores them (objectCategory and the mailbox links as
// distinguished names, the account flags as integers, the rest case-insensitive text). On its
// own, since slapd's core schema would make person require sn; OIDs from an arc of our own.
std::string Schema() {
  const std::pair<const char*, std::vector<const char*>> kinds[] = {
      {"EQUALITY caseIgnoreMatch ORDERING caseIgnoreOrderingMatch SUBSTR caseIgnoreSubstringsMatch "
       "SYNTAX 1.3.6.1.4.1.1466.115.121.1.15",
       {"sn", "givenName", "displayName", "proxyAddresses", "userPrincipalName", "sAMAccountName",
        "mailNickName", "msExchHomeServerName", "msExchMailboxGUID", "lDAPDisplayName",
        "targetAddress", "legacyExchangeDN", "networkAddress", "msExchSmtpPickupDirectory"}},
      {"EQUALITY caseIgnoreIA5Match SUBSTR caseIgnoreIA5SubstringsMatch "
       "SYNTAX 1.3.6.1.4.1.1466.115.121.1.26",
       {"dc", "mail"}},
      {"EQUALITY integerMatch ORDERING integerOrderingMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.27",
       {"userAccountControl", "sAMAccountType", "groupType"}},
      {"EQUALITY distinguishedNameMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.12",
       {"objectCategory", "defaultObjectCategory", "homeMDB", "homeMTA", "member"}},
      {"EQUALITY booleanMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.7", {"mAPIRecipient"}},
  };
  // Each class as name:superclass; every class may hold every attribute.
  const char* const classes =
      "domain:directoryObject domainDNS:domain container:directoryObject "
      "configuration:directoryObject dMD:directoryObject classSchema:directoryObject "
      "person:directoryObject organizationalPerson:person user:organizationalPerson "
      "contact:organizationalPerson computer:user group:directoryObject "
      "publicFolder:directoryObject server:directoryObject msExchExchangeServer:server "
      "mTA:directoryObject msExchMDB:directoryObject msExchPrivateMDB:msExchMDB "
      "protocolCfg:directoryObject protocolCfgSMTP:protocolCfg "
      "protocolCfgSMTPServer:protocolCfgSMTP msExchSystemObjectsContainer:container "
      "msExchConfigurationContainer:container msExchOrganizationContainer:container "
      "msExchAdminGroupContainer:container msExchAdminGroup:container "
      "msExchServersContainer:container msExchProtocolCfgProtocolContainer:container "
      "msExchProtocolCfgSMTPContainer:container msExchInformationStore:container "
      "msExchStorageGroup:container";
  const std::string arc = "2.25.331453728092949076266512758348866269778";
  std::ostringstream out;
  std::string may = "cn $ name $ distinguishedName $ description $ userPassword";
  int n = 0;
  for (const auto& [rule, names] : kinds) {
    for (const char* name : names) {
      out << "attributetype ( " << arc << ".1." << ++n << " NAME '" << name << "' " << rule
          << " )\n";
      may += std::string(" $ ") + name;
    }
  }
  out << "objectclass ( " << arc << ".2.0 NAME 'directoryObject' ABSTRACT SUP top MAY ( " << may
      << " ) )\n";
  std::istringstream in(classes);
  n = 0;
  for (std::string c; in >> c;)
    out << "objectclass ( " << arc << ".2." << ++n << " NAME '" << c.substr(0, c.find(':'))
        << "' SUP " << c.substr(c.find(':') + 1) << " STRUCTURAL )\n";
  return out.str();
}

std::string Tail(const std::string& text, size_t max = 2000) {
  return text.size() > max ? "..." + text.substr(text.size() - max) : text;
}

}  // namespace

SlapdServer::SlapdServer(Options options) : options_(std::move(options)) {
  if (access(kSlapd, X_OK) != 0) {
    why_ = "slapd is not installed (scripts/packages.sh installs it)";
    return;
  }
  for (int attempt = 0; attempt < 3 && !Available(); ++attempt)
    if (!StartOnce() && why_.find("Address already in use") == std::string::npos) break;
}

SlapdServer::~SlapdServer() {
  Stop();
}

bool SlapdServer::StartOnce() {
  port_ = FreePort();
  if (port_ == 0) {
    why_ = "no free loopback port";
    return false;
  }
  const fs::path db = dir_.path() / "db";
  fs::remove_all(db);
  fs::create_directories(db);
  std::ostringstream conf;
  WriteFile(dir_.path() / "directory.schema", Schema());
  conf << "include " << (dir_.path() / "directory.schema").string() << "\n"
       << "pidfile " << (dir_.path() / "slapd.pid").string() << "\n"
       << "argsfile " << (dir_.path() / "slapd.args").string() << "\n";
  // Debian builds the database backends as modules.
  if (fs::exists("/usr/lib/ldap/back_mdb.so"))
    conf << "modulepath /usr/lib/ldap\nmoduleload back_mdb\n";
  if (options_.sizeLimit > 0)
    conf << "sizelimit size.soft=" << options_.sizeLimit << " size.hard=" << options_.sizeLimit
         << " size.prtotal=unlimited\n";
  conf << "database mdb\n"
       << "suffix \"" << options_.suffix << "\"\n"
       << "rootdn \"" << options_.rootDn << "\"\n"
       << "rootpw " << options_.rootPassword << "\n"
       << "directory " << db.string() << "\n"
       << "maxsize 67108864\n"
       << "dbnosync\n";
  const fs::path confFile = dir_.path() / "slapd.conf";
  WriteFile(confFile, conf.str());

  const std::string listen = "ldap://127.0.0.1:" + std::to_string(port_) + "/";
  // -d keeps it in the foreground, a child of this process that Stop() can wait for.
  const Child child = StartProcess({kSlapd, "-d", "0", "-h", listen, "-f", confFile.string()},
                                   dir_.path() / "slapd.log");
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(child.pid, nullptr, WNOHANG) == child.pid) {
      close(child.out);
      why_ = "slapd did not start: " + Tail(Log());
      return false;
    }
    if (Accepts(port_)) {
      child_ = child;
      return true;
    }
    std::this_thread::sleep_for(20ms);
  }
  int status = 0;
  StopProcess(child, SIGKILL, &status);
  why_ = "slapd did not answer on port " + std::to_string(port_) + " in time: " + Tail(Log());
  return false;
}

std::string SlapdServer::Log() const {
  std::error_code ec;
  const fs::path log = dir_.path() / "slapd.log";
  return fs::exists(log, ec) ? ReadFile(log) : std::string();
}

bool SlapdServer::Load(const fs::path& ldif, bool keepExisting) {
  if (!Available()) return false;
  if (access(kLdapAdd, X_OK) != 0) {
    why_ = "ldapadd is not installed (scripts/packages.sh installs ldap-utils)";
    return false;
  }
  // -c goes on past an entry that is there already (68), and then exits with that code.
  std::vector<std::string> args = {
      kLdapAdd, "-x",         "-H", Url(), "-D", options_.rootDn, "-w", options_.rootPassword,
      "-f",     ldif.string()};
  if (keepExisting) args.push_back("-c");
  ProcessResult r = RunProcess(args);
  if (r.exitCode != 0 && !(keepExisting && r.exitCode == 68)) {
    why_ = "ldapadd " + ldif.string() + " failed: " + Tail(r.err);
    return false;
  }
  return true;
}

void SlapdServer::Pause() {
  if (!Available()) return;
  // The signal takes effect when the server is next scheduled; until then it may still answer
  // a request, so wait until it is reported stopped.
  kill(child_.pid, SIGSTOP);
  int status = 0;
  waitpid(child_.pid, &status, WUNTRACED);
}

void SlapdServer::Resume() {
  if (Available()) kill(child_.pid, SIGCONT);
}

void SlapdServer::Stop() {
  if (!Available()) return;
  kill(child_.pid, SIGCONT);  // a paused server could not act on the TERM
  int status = 0;
  StopProcess(child_, SIGTERM, &status);
  child_ = {};
}

}  // namespace drossgate::testing
