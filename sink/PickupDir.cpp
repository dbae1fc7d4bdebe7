#include "PickupDir.h"

#include "basRegistry.h"
#include "directory/directory.h"
#include "error.h"
#include "system/registry.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::sink {

namespace reg = platform::registry;
namespace dir = platform::directory;
using platform::SkipOnError;
using platform::ValueOr;

std::string GetPickupDirFromShares() {
  reg::Key key;
  if (reg::OpenKey(reg::Hive::kLocalMachine, common::kSharesKey, key) != reg::kSuccess) return {};
  std::string result;
  bool restarted = false;
  for (uint32_t index = 0;; ++index) {
    std::string name, data;
    reg::ValueType type;
    if (reg::EnumValue(key, index, 1024, 500, name, type, data) != reg::kSuccess) {
      // The first failure starts the enumeration over once; the next one ends it.
      if (restarted) break;
      restarted = true;
      index = static_cast<uint32_t>(-1);
      continue;
    }
    if (text::EqualsNoCase(name, common::kPickupShare)) {
      result = common::ParseSharePath(data);
      break;
    }
  }
  reg::CloseKey(key);
  return result;
}

bool IsClusterNode() {
  return common::RegKeyExists(reg::Hive::kLocalMachine, "Cluster");
}

std::string GetCurrentUserName() {
  return platform::ValueOr(std::string(), [] { return platform::CurrentUserName(); });
}

std::string SmtpServerPath(const std::string& path) {
  const size_t servers = text::FindNoCase(path, ",cn=servers,");
  if (servers == std::string::npos || servers < 1) return path;
  const size_t slash = path.rfind('/', servers);
  if (slash == std::string::npos) return path;
  return path.substr(0, slash + 1) + "CN=1,CN=SMTP,CN=Protocols," + path.substr(slash + 1);
}

std::string HomeServerFromValue(const std::string& value) {
  const size_t cn = value.rfind("CN=");
  if (cn != std::string::npos && cn + 3 < value.size()) return value.substr(cn + 3);
  return value;
}

std::string GetSmtpPickupDirectory(const std::string& objectPath) {
  return ValueOr(std::string(), [&] {
    auto object = dir::BindObject(objectPath);
    if (!object) return std::string();
    object->Refresh();
    return object->Get("msExchSmtpPickupDirectory");
  });
}

std::string GetHomeServerName(const std::string& directoryServerPath) {
  std::string value;
  SkipOnError([&] {
    auto conn = dir::CreateConnection();
    conn->SetProvider("ADSDSOObject");
    conn->Open("ADs Provider");
    auto cmd = dir::CreateCommand();
    cmd->SetActiveConnection(conn.get());
    cmd->SetCommandText("SELECT msExchHomeServerName FROM '" + directoryServerPath + "' " +
                        "WHERE objectcategory='person' AND sAMAccountName='" +
                        dir::QuoteQueryValue(GetCurrentUserName()) + "'");
    cmd->SetProperty("searchscope", int32_t{2});
    cmd->SetProperty("cache results", false);
    cmd->SetProperty("Chase Referrals", int32_t{96});
    auto rows = cmd->Execute(-1);
    if (!rows->IsEof()) value = text::ToUpper(rows->Field("msExchHomeServerName").Text());
    rows->Close();
  });
  return value.empty() ? value : HomeServerFromValue(value);
}

std::string GetPickupDirFromDirectory() {
  std::unique_ptr<dir::ExchangeServer> server;
  SkipOnError([&] { server = dir::CreateExchangeServer(); });

  // The LDAP root first; the global catalog only when that binding fails.
  std::string serverPath;
  std::unique_ptr<dir::DirectoryObject> rootDse;
  if (SkipOnError([&] { rootDse = dir::BindObject("LDAP://RootDSE"); })) {
    SkipOnError([&] {
      const std::string host = rootDse->Get("dnshostname");
      if (!host.empty()) serverPath = "LDAP://" + host;
    });
  } else {
    SkipOnError(
        [&] { serverPath = "GC://" + dir::BindObject("GC://RootDSE")->Get("dnshostname"); });
  }

  const std::string computer =
      ValueOr(std::string(), [] { return text::ToLower(dir::WinNTSystemInfo().ComputerName()); });
  const std::string domain =
      ValueOr(std::string(), [] { return text::ToLower(dir::ADSystemInfo().DomainDNSName()); });
  std::string serverName = computer.empty() || domain.empty() ? "" : computer + "." + domain;
  if (IsClusterNode() && !serverPath.empty()) {
    const std::string home = text::Trim(GetHomeServerName(serverPath));
    if (!home.empty()) serverName = home;
  }

  std::string adsPath;
  SkipOnError([&] {
    if (!server) return;
    server->Open(serverName);
    adsPath = server->Field("ADsPath").Text();
  });
  return GetSmtpPickupDirectory(SmtpServerPath(adsPath));
}

}  // namespace drossgate::sink
