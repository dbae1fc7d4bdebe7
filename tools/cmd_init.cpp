// init [--demo] and mailbox add: a new platform root, and mailboxes with their directory
// entries. The directory objects follow the real layout closely enough that callers' lookups
// work as written: the server object below CN=Servers of an administrative group, its SMTP
// virtual server CN=1,CN=SMTP,CN=Protocols with the pickup folder, person entries naming the
// server in the slash-separated form /o=ORG/ou=GROUP/cn=Configuration/cn=Servers/cn=NAME.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <set>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "com/com.h"
#include "complus/catalog.h"
#include "directory/directory.h"
#include "error.h"
#include "store/store.h"
#include "system/atomic_file.h"
#include "system/registry.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::tools {

extern const char kDemoLdif[];  // tools/demo/demo.ldif, compiled in

namespace {

namespace dir = platform::directory;
namespace store = platform::store;
namespace reg = platform::registry;
using Json = nlohmann::ordered_json;

constexpr const char* kOrganization = "First Organization";
constexpr const char* kAdminGroup = "First Administrative Group";
constexpr const char* kPickupShareKey = "SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares";
constexpr const char* kDemoPrefix = "drossgate-";

// --- Names the user gives ---------------------------------------------------------------

bool AllOf(std::string_view s, const char* extra) {
  for (char c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr(extra, c)) return false;
  return true;
}

void CheckDomain(const std::string& d) {
  bool ok = !d.empty() && d.size() <= 253;
  for (const std::string& label : text::Split(d, '.'))
    ok = ok && !label.empty() && label.size() <= 63 && AllOf(label, "-") && label.front() != '-' &&
         label.back() != '-';
  if (!ok || d.back() == '.' || d.find("..") != std::string::npos)
    throw UsageError("--domain " + d + ": not a DNS domain name (letters, digits, hyphens, dots)");
}

void CheckComputer(const std::string& c) {
  bool digits = std::all_of(c.begin(), c.end(),
                            [](char ch) { return std::isdigit(static_cast<unsigned char>(ch)); });
  if (c.empty() || c.size() > 15 || !AllOf(c, "-") || digits || c.front() == '-')
    throw UsageError("--computer " + c +
                     ": a computer name has 1 to 15 letters, digits or hyphens");
}

void CheckUser(const std::string& u) {
  if (u.empty() || u.size() > 64 || !AllOf(u, "._- ") || u.front() == ' ' || u.back() == ' ')
    throw UsageError("--user " + u +
                     ": a user name has letters, digits, '.', '_', '-' and inner blanks");
}

void CheckAlias(const std::string& a) {
  if (text::StartsWithNoCase(a, "SystemMailbox{"))
    throw UsageError("alias " + a + ": names beginning with SystemMailbox{ belong to the store");
  if (a.empty() || a.size() > 64 || !AllOf(a, "._-") || a.front() == '.' || a.back() == '.')
    throw UsageError("alias " + a + ": an alias has letters, digits, '.', '_' and '-'");
}

void CheckAddress(const std::string& a) {
  const size_t at = a.find('@');
  bool ok = at != std::string::npos && at > 0 && at + 1 < a.size() &&
            a.find('@', at + 1) == std::string::npos && a.size() <= 254;
  for (char c : a)
    ok = ok && static_cast<unsigned char>(c) > ' ' && c != '<' && c != '>' && c != '\'' && c != '"';
  if (!ok) throw UsageError("--address " + a + ": not a mail address (local@domain)");
}

void CheckDisplayName(const std::string& n) {
  bool ok = !text::Trim(n).empty() && n.size() <= 64;
  for (char c : n) ok = ok && static_cast<unsigned char>(c) >= ' ';
  if (!ok) throw UsageError("--name: a display name is 1 to 64 characters, no control characters");
}

// --- The directory layout -----------------------------------------------------------------

struct Layout {
  std::string domain;      // DNS name
  std::string domainDn;    // DC=...
  std::string serverDn;    // this computer's server object
  std::string homeServer;  // the server as person entries name it
  std::string homeMdb;     // its mailbox store
  std::string homeMta;
  std::string category(const char* cn) const {
    return "CN=" + std::string(cn) + ",CN=Schema,CN=Configuration," + domainDn;
  }

  static Layout ForNewRoot(const std::string& domain, const std::string& computer) {
    Layout l;
    l.domain = domain;
    l.domainDn = "DC=" + text::ReplaceAll(domain, ".", ",DC=");
    l.serverDn = "CN=" + computer + ",CN=Servers,CN=" + kAdminGroup +
                 ",CN=Administrative Groups,CN=" + kOrganization +
                 ",CN=Microsoft Exchange,CN=Services,CN=Configuration," + l.domainDn;
    l.homeServer = std::string("/o=") + kOrganization + "/ou=" + kAdminGroup +
                   "/cn=Configuration/cn=Servers/cn=" + computer;
    l.homeMdb = "CN=Mailbox Store (" + computer + "),CN=First Storage Group,CN=InformationStore," +
                l.serverDn;
    l.homeMta = "CN=Microsoft MTA," + l.serverDn;
    return l;
  }
};

std::unique_ptr<dir::RecordSet> Query(const std::string& text) {
  auto conn = dir::CreateConnection();
  conn->SetProvider(dir::kProvider);
  conn->Open("Active Directory Provider");
  auto cmd = dir::CreateCommand();
  cmd->SetActiveConnection(conn.get());
  cmd->SetCommandText(text);
  return cmd->Execute();
}

std::string GlobalCatalog() {
  return "GC://" + platform::FullComputerName();
}

// The layout of an existing root, read from its directory: this computer's server object
// and what hangs below it.
Layout ForExistingRoot() {
  const platform::MachineInfo& m = platform::Machine();
  Layout l;
  l.domain = m.domainName;
  l.domainDn = "DC=" + text::ReplaceAll(m.domainName, ".", ",DC=");
  auto servers = Query("SELECT distinguishedName, legacyExchangeDN FROM '" + GlobalCatalog() +
                       "' WHERE objectClass='msExchExchangeServer' AND cn='" +
                       dir::QuoteQueryValue(m.computerName) + "'");
  if (servers->IsEof())
    throw platform::PlatformError(platform::errors::kNoSuchObject,
                                  "The directory has no server object for " + m.computerName);
  l.serverDn = servers->Field("distinguishedName").Text();
  l.homeServer = servers->Field("legacyExchangeDN").Text();
  auto mdbs =
      Query("SELECT distinguishedName FROM 'GC://" + platform::FullComputerName() + "/" +
            text::ReplaceAll(l.serverDn, "/", "\\/") + "' WHERE objectClass='msExchPrivateMDB'");
  if (!mdbs->IsEof()) l.homeMdb = mdbs->Field("distinguishedName").Text();
  auto mtas = Query("SELECT distinguishedName FROM 'GC://" + platform::FullComputerName() + "/" +
                    text::ReplaceAll(l.serverDn, "/", "\\/") + "' WHERE objectClass='mTA'");
  if (!mtas->IsEof()) l.homeMta = mtas->Field("distinguishedName").Text();
  return l;
}

dir::Entry MakeEntry(const std::string& dn, std::initializer_list<const char*> classes,
                     const std::string& category) {
  dir::Entry e;
  e.dn = dn;
  for (const char* c : classes) e.Add("objectClass", c);
  e.Add("cn", dn.substr(3, dn.find(',') - 3));  // the names made here need no escapes
  if (!category.empty()) e.Add("objectCategory", category);
  return e;
}

std::string NewGuid() {
  auto g = platform::CreateGuid();
  if (!g) throw platform::PlatformError(platform::errors::kFail, "Cannot create a GUID");
  return platform::com::FormatGuid(*g);
}

// The schema classes that entries name as their category.
struct SchemaClass {
  const char* cn;
  const char* ldapName;
};
constexpr SchemaClass kSchemaClasses[] = {
    {"Person", "person"},
    {"Group", "group"},
    {"Public-Folder", "publicFolder"},
    {"Computer", "computer"},
    {"Container", "container"},
    {"Domain-DNS", "domainDNS"},
    {"Configuration", "configuration"},
    {"DMD", "dMD"},
    {"Class-Schema", "classSchema"},
    {"ms-Exch-Configuration-Container", "msExchConfigurationContainer"},
    {"ms-Exch-Organization-Container", "msExchOrganizationContainer"},
    {"ms-Exch-Admin-Group-Container", "msExchAdminGroupContainer"},
    {"ms-Exch-Admin-Group", "msExchAdminGroup"},
    {"ms-Exch-Servers-Container", "msExchServersContainer"},
    {"ms-Exch-Exchange-Server", "msExchExchangeServer"},
    {"ms-Exch-Protocol-Cfg-Protocol-Container", "msExchProtocolCfgProtocolContainer"},
    {"ms-Exch-Protocol-Cfg-SMTP-Container", "msExchProtocolCfgSMTPContainer"},
    {"Protocol-Cfg-SMTP-Server", "protocolCfgSMTPServer"},
    {"ms-Exch-Information-Store", "msExchInformationStore"},
    {"ms-Exch-Storage-Group", "msExchStorageGroup"},
    {"ms-Exch-Private-MDB", "msExchPrivateMDB"},
    {"MTA", "mTA"},
    {"ms-Exch-System-Objects-Container", "msExchSystemObjectsContainer"},
};

std::vector<dir::Entry> BaseEntries(const Layout& l, const std::string& computer,
                                    const std::filesystem::path& pickup) {
  const std::string config = "CN=Configuration," + l.domainDn;
  const std::string schema = "CN=Schema," + config;
  std::vector<dir::Entry> out;
  dir::Entry domain;
  domain.dn = l.domainDn;
  for (const char* c : {"top", "domain", "domainDNS"}) domain.Add("objectClass", c);
  domain.Add("dc", l.domain.substr(0, l.domain.find('.')));
  domain.Add("objectCategory", l.category("Domain-DNS"));
  out.push_back(domain);
  out.push_back(MakeEntry("CN=Users," + l.domainDn, {"top", "container"}, l.category("Container")));
  out.push_back(
      MakeEntry("CN=Computers," + l.domainDn, {"top", "container"}, l.category("Container")));
  out.push_back(MakeEntry("CN=Microsoft Exchange System Objects," + l.domainDn,
                          {"top", "container", "msExchSystemObjectsContainer"},
                          l.category("ms-Exch-System-Objects-Container")));
  out.push_back(MakeEntry(config, {"top", "configuration"}, l.category("Configuration")));
  out.push_back(MakeEntry(schema, {"top", "dMD"}, l.category("DMD")));
  for (const SchemaClass& c : kSchemaClasses) {
    dir::Entry e = MakeEntry("CN=" + std::string(c.cn) + "," + schema, {"top", "classSchema"},
                             l.category("Class-Schema"));
    e.Add("lDAPDisplayName", c.ldapName);
    e.Add("defaultObjectCategory", e.dn);
    out.push_back(e);
  }
  out.push_back(MakeEntry("CN=Services," + config, {"top", "container"}, l.category("Container")));
  const std::string exchange = "CN=Microsoft Exchange,CN=Services," + config;
  out.push_back(MakeEntry(exchange, {"top", "container", "msExchConfigurationContainer"},
                          l.category("ms-Exch-Configuration-Container")));
  const std::string org = "CN=" + std::string(kOrganization) + "," + exchange;
  out.push_back(MakeEntry(org, {"top", "container", "msExchOrganizationContainer"},
                          l.category("ms-Exch-Organization-Container")));
  const std::string groups = "CN=Administrative Groups," + org;
  out.push_back(MakeEntry(groups, {"top", "container", "msExchAdminGroupContainer"},
                          l.category("ms-Exch-Admin-Group-Container")));
  const std::string group = "CN=" + std::string(kAdminGroup) + "," + groups;
  out.push_back(MakeEntry(group, {"top", "container", "msExchAdminGroup"},
                          l.category("ms-Exch-Admin-Group")));
  out.push_back(MakeEntry("CN=Servers," + group, {"top", "container", "msExchServersContainer"},
                          l.category("ms-Exch-Servers-Container")));
  dir::Entry server = MakeEntry(l.serverDn, {"top", "server", "msExchExchangeServer"},
                                l.category("ms-Exch-Exchange-Server"));
  server.Add("networkAddress",
             "ncacn_ip_tcp:" + text::ToLower(computer) + "." + text::ToLower(l.domain));
  server.Add("networkAddress", "netbios:" + computer);
  server.Add("legacyExchangeDN", l.homeServer);
  out.push_back(server);
  const std::string protocols = "CN=Protocols," + l.serverDn;
  out.push_back(MakeEntry(protocols, {"top", "container", "msExchProtocolCfgProtocolContainer"},
                          l.category("ms-Exch-Protocol-Cfg-Protocol-Container")));
  const std::string smtp = "CN=SMTP," + protocols;
  out.push_back(MakeEntry(smtp, {"top", "container", "msExchProtocolCfgSMTPContainer"},
                          l.category("ms-Exch-Protocol-Cfg-SMTP-Container")));
  dir::Entry vs =
      MakeEntry("CN=1," + smtp, {"top", "protocolCfg", "protocolCfgSMTP", "protocolCfgSMTPServer"},
                l.category("Protocol-Cfg-SMTP-Server"));
  vs.Add("msExchSmtpPickupDirectory", pickup.string());
  out.push_back(vs);
  out.push_back(MakeEntry(l.homeMta, {"top", "mTA"}, l.category("MTA")));
  const std::string is = "CN=InformationStore," + l.serverDn;
  out.push_back(MakeEntry(is, {"top", "container", "msExchInformationStore"},
                          l.category("ms-Exch-Information-Store")));
  out.push_back(MakeEntry("CN=First Storage Group," + is,
                          {"top", "container", "msExchStorageGroup"},
                          l.category("ms-Exch-Storage-Group")));
  out.push_back(MakeEntry(l.homeMdb, {"top", "msExchMDB", "msExchPrivateMDB"},
                          l.category("ms-Exch-Private-MDB")));
  return out;
}

// The person entry of a mailbox, with every attribute the setup tool and the picker read.
dir::Entry MailboxPerson(const Layout& l, const std::string& dn, const std::string& name,
                         const std::string& alias, const std::vector<std::string>& addresses,
                         bool disabled) {
  dir::Entry e;
  e.dn = dn;
  for (const char* c : {"top", "person", "organizationalPerson", "user"}) e.Add("objectClass", c);
  e.Add("cn", name);
  e.Add("name", name);
  e.Add("displayName", name);
  e.Add("sAMAccountName", alias);
  e.Add("userPrincipalName", alias + "@" + l.domain);
  e.Add("mailNickName", alias);
  if (!addresses.empty()) e.Add("mail", addresses.front());
  for (size_t i = 0; i < addresses.size(); ++i)
    e.Add("proxyAddresses", (i == 0 ? "SMTP:" : "smtp:") + addresses[i]);
  e.Add("msExchHomeServerName", l.homeServer);
  e.Add("msExchMailboxGUID", NewGuid());
  if (!l.homeMdb.empty()) e.Add("homeMDB", l.homeMdb);
  if (!l.homeMta.empty()) e.Add("homeMTA", l.homeMta);
  e.Add("userAccountControl", disabled ? "514" : "512");
  e.Add("sAMAccountType", "805306368");
  e.Add("objectCategory", l.category("Person"));
  e.Add("distinguishedName", dn);
  return e;
}

dir::Entry SystemMailboxPerson(const Layout& l, const store::admin::MailboxInfo& mbx) {
  const std::string dn = "CN=" + mbx.alias + ",CN=Microsoft Exchange System Objects," + l.domainDn;
  dir::Entry e;
  e.dn = dn;
  for (const char* c : {"top", "person", "organizationalPerson", "user"}) e.Add("objectClass", c);
  e.Add("cn", mbx.alias);
  e.Add("name", mbx.alias);
  e.Add("displayName", mbx.alias);
  e.Add("mailNickName", mbx.alias);
  const std::string mail =
      mbx.addresses.empty() ? mbx.alias + "@" + l.domain : mbx.addresses.front();
  e.Add("mail", mail);
  e.Add("proxyAddresses", "SMTP:" + mail);
  e.Add("msExchHomeServerName", l.homeServer);
  e.Add("msExchMailboxGUID", NewGuid());
  e.Add("homeMDB", l.homeMdb);
  e.Add("objectCategory", l.category("Person"));
  e.Add("distinguishedName", dn);
  return e;
}

// --- The demo template ------------------------------------------------------------------

std::string FillTemplate(const std::string& tmpl,
                         const std::map<std::string, std::string>& values) {
  std::string out;
  size_t pos = 0;
  while (true) {
    size_t open = tmpl.find("{{", pos);
    if (open == std::string::npos) break;
    size_t close = tmpl.find("}}", open);
    if (close == std::string::npos)
      throw std::runtime_error("demo template: unclosed {{ placeholder");
    const std::string name = tmpl.substr(open + 2, close - open - 2);
    out += tmpl.substr(pos, open - pos);
    if (name == "GUID") {
      out += NewGuid();
    } else if (auto it = values.find(name); it != values.end()) {
      out += it->second;
    } else {
      throw std::runtime_error("demo template: unknown placeholder {{" + name + "}}");
    }
    pos = close + 2;
  }
  return out + tmpl.substr(pos);
}

struct DemoMailbox {
  std::string alias;
  std::vector<std::string> addresses;
  std::string inboxName = "Inbox";
};

// Entries of the template, its instructions taken out; the mailboxes it asks for.
std::vector<dir::Entry> DemoEntries(const Layout& l, const std::string& computer,
                                    const std::string& user, std::vector<DemoMailbox>& mailboxes) {
  // Lines of the template's header comment are comments; placeholders in them fill harmlessly.
  const std::string text = FillTemplate(kDemoLdif, {{"DOMAIN", l.domain},
                                                    {"DOMAIN_DN", l.domainDn},
                                                    {"COMPUTER", computer},
                                                    {"USER", user},
                                                    {"ORG", kOrganization},
                                                    {"HOME_SERVER", l.homeServer},
                                                    {"HOME_MDB", l.homeMdb},
                                                    {"HOME_MTA", l.homeMta}});
  std::vector<dir::Entry> entries = dir::admin::ParseLdif(text, "demo.ldif");
  std::set<std::string> accounts;
  for (dir::Entry& e : entries) {
    DemoMailbox mbx;
    for (auto it = e.attributes.begin(); it != e.attributes.end();) {
      if (!text::StartsWithNoCase(it->name, kDemoPrefix)) {
        ++it;
        continue;
      }
      if (text::EqualsNoCase(it->name, "drossgate-inboxName"))
        mbx.inboxName = it->values.front();
      else
        throw std::runtime_error("demo template: unknown instruction " + it->name);
      it = e.attributes.erase(it);
    }
    if (const dir::Attribute* sam = e.Find("sAMAccountName")) {
      if (!accounts.insert(text::ToLower(sam->values.front())).second)
        throw UsageError("--user " + user + ": the demo has an account of that name already");
    }
    if (!e.Find("homeMDB")) continue;
    const dir::Attribute* alias = e.Find("mailNickName");
    if (!alias)
      throw std::runtime_error("demo template: the mailbox " + e.dn + " has no mailNickName");
    mbx.alias = alias->values.front();
    if (const dir::Attribute* mail = e.Find("mail")) mbx.addresses.push_back(mail->values.front());
    if (const dir::Attribute* proxies = e.Find("proxyAddresses")) {
      for (const std::string& p : proxies->values) {
        if (!text::StartsWithNoCase(p, "smtp:")) continue;
        std::string a = p.substr(5);
        bool known = false;
        for (const std::string& k : mbx.addresses) known = known || text::EqualsNoCase(k, a);
        if (!known) mbx.addresses.push_back(a);
      }
    }
    mailboxes.push_back(mbx);
  }
  return entries;
}

// --- init ---------------------------------------------------------------------------------

struct InitOptions {
  std::string domain = "example.com";
  std::string computer = "MAIL1";
  std::string user = "administrator";
  bool demo = false;
};

std::filesystem::path RequestedRoot(const CLI::Option* rootOption) {
  if (rootOption && rootOption->count() > 0) return rootOption->as<std::string>();
  const char* env = std::getenv("DROSSGATE_PLATFORM");
  if (env && *env) return env;
  throw UsageError("no platform root: pass --root DIR or set DROSSGATE_PLATFORM");
}

Json MailboxJson(const store::admin::MailboxInfo& m, const std::string& dn) {
  return Json{{"alias", m.alias},
              {"addresses", m.addresses},
              {"url", m.url},
              {"inbox", m.inboxUrl},
              {"dn", dn}};
}

void Init(const InitOptions& o, const std::filesystem::path& requested) {
  CheckDomain(o.domain);
  CheckComputer(o.computer);
  CheckUser(o.user);
  const std::filesystem::path root = std::filesystem::absolute(requested).lexically_normal();
  std::error_code ec;
  const bool existed = std::filesystem::exists(root, ec);
  if (existed) {
    if (!std::filesystem::is_directory(root, ec))
      throw UsageError(root.string() + " exists and is not a folder");
    if (!std::filesystem::is_empty(root, ec))
      throw UsageError(root.string() +
                       " is not empty; init makes a new platform root in an empty or new folder");
  }
  if (!std::filesystem::create_directories(root, ec) && ec)
    throw UsageError("cannot create " + root.string() + ": " + ec.message());

  // A failed init leaves nothing behind: the folder was empty or new.
  try {
    const std::filesystem::path pickup = root / "pickup";
    std::string error;
    if (!platform::CreatePrivateFolder(pickup, error))
      throw UsageError("cannot create " + pickup.string() + ": " + error);
    platform::MachineInfo m;
    m.computerName = o.computer;
    m.domainName = o.domain;
    m.userName = o.user;
    m.workgroup = text::ToUpper(o.domain.substr(0, o.domain.find('.')));
    platform::WriteMachineInfo(root, m);
    platform::SetPlatformRoot(root);

    reg::Key key = 0;
    reg::Status st = reg::CreateKey(reg::Hive::kLocalMachine, kPickupShareKey, key);
    if (st == reg::kSuccess) {
      st = reg::SetMultiString(key, "PickUp",
                               {"CSCFlags=0", "MaxUses=4294967295", "Path=" + pickup.string(),
                                "Permissions=0", "Remark=", "Type=0"});
      reg::CloseKey(key);
    }
    if (st != reg::kSuccess)
      throw platform::PlatformError(
          platform::errors::kFileWrite,
          "Cannot write the pickup share to the registry (status " + std::to_string(st) + ")");
    platform::complus::CreateCatalogFile(root.string());

    const Layout layout = Layout::ForNewRoot(o.domain, o.computer);
    store::admin::MailboxInfo system =
        store::admin::CreateStore(root, o.domain, "Mailbox Store (" + o.computer + ")");
    std::vector<dir::Entry> entries = BaseEntries(layout, o.computer, pickup);
    entries.push_back(SystemMailboxPerson(layout, system));

    Json out{{"root", root.string()},
             {"computer", o.computer},
             {"fqdn", platform::FullComputerName()},
             {"system_mailbox", MailboxJson(system, entries.back().dn)}};
    if (o.demo) {
      std::vector<DemoMailbox> wanted;
      std::vector<dir::Entry> demo = DemoEntries(layout, o.computer, o.user, wanted);
      Json made = Json::array();
      for (const DemoMailbox& w : wanted) {
        store::admin::MailboxInfo mbx = store::admin::AddMailbox(w.alias, w.addresses, w.inboxName);
        std::string dn;
        for (const dir::Entry& e : demo)
          if (const dir::Attribute* a = e.Find("mailNickName");
              a && e.Find("homeMDB") && a->values.front() == w.alias)
            dn = e.dn;
        made.push_back(MailboxJson(mbx, dn));
      }
      entries.insert(entries.end(), demo.begin(), demo.end());
      out["mailboxes"] = made;
    }
    dir::admin::CreateDirectoryFile(
        root, entries,
        "The directory of this platform, made by drossgate-platform init.\n"
        "drossgate-platform mailbox add and directory import append to it.");
    platform::TightenRootModes(root);  // a folder that existed keeps no looser mode
    std::cout << DumpJson(out) << "\n";
  } catch (...) {
    platform::SetPlatformRoot("");
    if (existed) {
      for (const auto& child : std::filesystem::directory_iterator(root, ec))
        std::filesystem::remove_all(child, ec);
    } else {
      std::filesystem::remove_all(root, ec);
    }
    throw;
  }
}

// --- mailbox add ------------------------------------------------------------------------

struct MailboxOptions {
  std::string alias;
  std::vector<std::string> addresses;
  std::string inboxName = "Inbox";
  std::string name;
  bool disabled = false;
  bool noAddress = false;
};

void AddMailbox(const MailboxOptions& o) {
  CheckAlias(o.alias);
  if (o.noAddress && !o.addresses.empty())
    throw UsageError("--address and --no-address exclude each other");
  if (!o.noAddress && o.addresses.empty())
    throw UsageError("a mailbox needs --address ADDR (or --no-address)");
  for (const std::string& a : o.addresses) CheckAddress(a);
  const std::string name = o.name.empty() ? o.alias : o.name;
  CheckDisplayName(name);
  if (text::Trim(o.inboxName).empty() || o.inboxName.find('/') != std::string::npos)
    throw UsageError("--inbox-name " + o.inboxName + ": not a folder name");

  // The directory first: it must be readable and must not know the names yet.
  const Layout layout = ForExistingRoot();
  const std::string dn = "CN=" + dir::admin::EscapeRdnValue(name) + ",CN=Users," + layout.domainDn;
  std::string taken = "sAMAccountName='" + dir::QuoteQueryValue(o.alias) + "' OR mailNickName='" +
                      dir::QuoteQueryValue(o.alias) + "'";
  for (const std::string& a : o.addresses)
    taken += " OR mail='" + dir::QuoteQueryValue(a) +
             "' OR proxyAddresses='smtp:" + dir::QuoteQueryValue(a) + "'";
  auto clash = Query("SELECT distinguishedName FROM '" + GlobalCatalog() + "' WHERE " + taken);
  if (!clash->IsEof())
    throw UsageError("the alias or an address is in use by " +
                     clash->Field("distinguishedName").Text());
  auto same = Query("SELECT cn FROM '" + GlobalCatalog() + "' WHERE distinguishedName='" +
                    dir::QuoteQueryValue(dn) + "'");
  if (!same->IsEof())
    throw UsageError("the directory has an entry " + dn + " already; choose another --name");

  store::admin::MailboxInfo mbx = store::admin::AddMailbox(o.alias, o.addresses, o.inboxName);
  dir::admin::AddEntries({MailboxPerson(layout, dn, name, o.alias, o.addresses, o.disabled)});
  std::cout << DumpJson(MailboxJson(mbx, dn)) << "\n";
}

}  // namespace

void AddInitCommand(CLI::App& app) {
  const CLI::Option* rootOption = app.get_option_no_throw("--root");

  auto init = std::make_shared<InitOptions>();
  auto* cmd = app.add_subcommand("init", "Create a new platform root (an empty or new folder)");
  cmd->add_option("--domain", init->domain, "DNS domain of the machine")->capture_default_str();
  cmd->add_option("--computer", init->computer, "computer name")->capture_default_str();
  cmd->add_option("--user", init->user, "the account the programs run as")->capture_default_str();
  cmd->add_flag("--demo", init->demo,
                "add the demo people, mailboxes, group, contact and public folder");
  cmd->callback([init, rootOption] { Init(*init, RequestedRoot(rootOption)); });

  auto mbx = std::make_shared<MailboxOptions>();
  CLI::App* mailbox = nullptr;
  for (CLI::App* sub : app.get_subcommands([](CLI::App* a) { return a->get_name() == "mailbox"; }))
    mailbox = sub;
  if (!mailbox)
    mailbox = app.add_subcommand("mailbox", "Mailboxes of the store")->require_subcommand(1);
  auto* add =
      mailbox->add_subcommand("add", "Add a mailbox to the store and its person to the directory");
  add->add_option("alias", mbx->alias, "the mailbox's alias (mailNickName, sAMAccountName)")
      ->required();
  add->add_option("--address", mbx->addresses,
                  "SMTP address; repeat for more, the first is the primary one");
  add->add_option("--inbox-name", mbx->inboxName, "name of the inbox folder")
      ->capture_default_str();
  add->add_option("--name", mbx->name, "display name (cn); the alias when not given");
  add->add_flag("--disabled", mbx->disabled, "the account is disabled");
  add->add_flag("--no-address", mbx->noAddress, "a mailbox without any mail address");
  add->callback([mbx] { AddMailbox(*mbx); });
}

}  // namespace drossgate::tools
