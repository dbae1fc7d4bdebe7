// init [--demo], mailbox add and mailbox passwd: a new platform root, mailboxes with their
// directory entries (made by init_layout), and their passwords for the IMAP service.
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <set>

#include <nlohmann/json.hpp>

#include "basRegistry.h"
#include "cli.h"
#include "com/com.h"
#include "complus/catalog.h"
#include "directory/directory.h"
#include "directory/ldap_backend.h"
#include "error.h"
#include "imap_logins.h"
#include "init_layout.h"
#include "store/store.h"
#include "system/atomic_file.h"
#include "system/registry.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::tools {

namespace {

namespace dir = platform::directory;
namespace store = platform::store;
namespace reg = platform::registry;
using Json = nlohmann::ordered_json;
using namespace init;

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
    reg::Status st = reg::CreateKey(reg::Hive::kLocalMachine, common::kSharesKey, key);
    if (st == reg::kSuccess) {
      st = reg::SetMultiString(key, common::kPickupShare,
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

// --- mailbox passwd ---------------------------------------------------------------------

// One line of standard input; typed without echo at a terminal, asked twice there.
std::string ReadNewPassword(const std::string& alias) {
  auto line = [](const char* prompt, bool terminal) {
    termios saved{};
    if (terminal) {
      std::cerr << prompt << std::flush;
      tcgetattr(0, &saved);
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      tcsetattr(0, TCSAFLUSH, &quiet);
    }
    std::string s;
    const bool got = static_cast<bool>(std::getline(std::cin, s));
    if (terminal) {
      tcsetattr(0, TCSAFLUSH, &saved);
      std::cerr << "\n";
    }
    if (!got) throw UsageError("no password on standard input");
    if (!s.empty() && s.back() == '\r') s.pop_back();
    return s;
  };
  const bool terminal = isatty(0);
  const std::string password = line(("New password for " + alias + ": ").c_str(), terminal);
  if (terminal && line("Again: ", true) != password) throw UsageError("the passwords differ");
  return password;
}

void SetMailboxPassword(const std::string& alias) {
  if (dir::NamesLdapServer(platform::Machine().directory))
    throw UsageError(
        "machine.json names an LDAP directory: logins are checked there, so set "
        "the password in the directory");
  imap::SetPassword(alias, ReadNewPassword(alias));
  std::cerr << "The password of " << alias << " is set." << std::endl;
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

  auto alias = std::make_shared<std::string>();
  auto* passwd = mailbox->add_subcommand(
      "passwd",
      "Set the password a mailbox's owner logs in to the IMAP service with (one line of "
      "standard input; without echo at a terminal). With an LDAP directory, the directory's "
      "password is the one.");
  passwd->add_option("mailbox", *alias, "the mailbox's alias or an SMTP address")->required();
  passwd->callback([alias] {
    Root();
    SetMailboxPassword(*alias);
  });
}

}  // namespace drossgate::tools
