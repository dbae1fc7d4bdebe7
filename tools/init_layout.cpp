#include "init_layout.h"

#include <map>
#include <set>

#include "cli.h"
#include "com/com.h"
#include "error.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::tools {

extern const char kDemoLdif[];  // tools/demo/demo.ldif, compiled in

namespace init {

namespace {

constexpr const char* kOrganization = "First Organization";
constexpr const char* kAdminGroup = "First Administrative Group";
constexpr const char* kDemoPrefix = "drossgate-";

}  // namespace

Layout Layout::ForNewRoot(const std::string& domain, const std::string& computer) {
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

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace init
}  // namespace drossgate::tools
