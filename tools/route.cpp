#include "route.h"

#include "directory/directory.h"
#include "init_layout.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::tools {

namespace {

namespace dir = platform::directory;
using init::GlobalCatalog;
using init::Query;

// The other server's address: machine.json's "servers" map first, then the directory.
std::string ServerUrl(const std::string& server) {
  const platform::MachineInfo& m = platform::Machine();
  for (const auto& [key, value] : m.settings)
    if (text::StartsWithNoCase(key, "servers.") && text::EqualsNoCase(key.substr(8), server))
      return value;
  auto rs = Query("SELECT dNSHostName FROM '" + GlobalCatalog() +
                  "' WHERE objectClass='msExchExchangeServer' AND cn='" +
                  dir::QuoteQueryValue(server) + "'");
  const std::string host = rs->IsEof() ? "" : rs->Field("dNSHostName").Text();
  return host.empty() ? "" : "smtp://" + host + ":25";
}

// The server a msExchHomeServerName ("/o=.../cn=Servers/cn=NAME") or homeMDB
// ("CN=store,CN=group,CN=InformationStore,CN=NAME,CN=Servers,...") value names; empty if none.
std::string HomeServerOf(const std::string& value) {
  const std::string lower = text::ToLower(value);
  if (!value.empty() && value[0] == '/') {
    const size_t at = lower.rfind("/cn=");
    return at == std::string::npos ? "" : value.substr(at + 4);
  }
  const size_t servers = lower.find(",cn=servers,");
  if (servers == std::string::npos) return "";
  const size_t start = lower.rfind("cn=", servers);
  return start == std::string::npos ? "" : value.substr(start + 3, servers - start - 3);
}

}  // namespace

Destination Route(const std::string& address) {
  // "*" would be a wildcard in the query: such an address is no object's.
  if (address.find('*') != std::string::npos) return {};
  const std::string quoted = dir::QuoteQueryValue(address);
  auto rs = Query("SELECT msExchHomeServerName, homeMDB FROM '" + GlobalCatalog() +
                  "' WHERE mail='" + quoted + "' OR proxyAddresses='smtp:" + quoted + "'");
  Destination d;
  if (rs->IsEof()) return d;
  std::string home = HomeServerOf(rs->Field("msExchHomeServerName").Text());
  if (home.empty()) home = HomeServerOf(rs->Field("homeMDB").Text());
  if (home.empty()) return d;  // a contact or a group: its mail goes out
  if (text::EqualsNoCase(home, platform::Machine().computerName)) {
    d.kind = Destination::Kind::kHere;
    return d;
  }
  d.kind = Destination::Kind::kServer;
  d.server = home;
  d.url = ServerUrl(home);
  return d;
}

}  // namespace drossgate::tools
