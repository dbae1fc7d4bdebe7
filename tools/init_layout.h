#pragma once
// The directory entries of a platform root, for init and mailbox add: the layout of the
// domain, this computer's server object and what hangs below it, the base entries of a new
// root, mailbox owners, and the demo template's entries. Lookups raise PlatformError.
// The objects follow the real layout closely enough that callers' lookups work as written:
// the server object below CN=Servers of an administrative group, its SMTP virtual server
// CN=1,CN=SMTP,CN=Protocols with the pickup folder, person entries naming the server in the
// slash-separated form /o=ORG/ou=GROUP/cn=Configuration/cn=Servers/cn=NAME.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "directory/directory.h"
#include "store/store.h"

namespace drossgate::tools::init {

namespace dir = platform::directory;
namespace store = platform::store;

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

  // The layout init makes for a new root.
  static Layout ForNewRoot(const std::string& domain, const std::string& computer);
};

// A query of the directory's dialect, run at once.
std::unique_ptr<dir::RecordSet> Query(const std::string& text);
// The global catalog of this computer.
std::string GlobalCatalog();
// The layout of an existing root, read from its directory: this computer's server object
// and what hangs below it.
Layout ForExistingRoot();

// The schema, configuration and server entries of a new root.
std::vector<dir::Entry> BaseEntries(const Layout& l, const std::string& computer,
                                    const std::filesystem::path& pickup);
dir::Entry MailboxPerson(const Layout& l, const std::string& dn, const std::string& name,
                         const std::string& alias, const std::vector<std::string>& addresses,
                         bool disabled);
dir::Entry SystemMailboxPerson(const Layout& l, const store::admin::MailboxInfo& mbx);

struct DemoMailbox {
  std::string alias;
  std::vector<std::string> addresses;
  std::string inboxName = "Inbox";
};

// Entries of the template, its instructions taken out; the mailboxes it asks for.
std::vector<dir::Entry> DemoEntries(const Layout& l, const std::string& computer,
                                    const std::string& user, std::vector<DemoMailbox>& mailboxes);

}  // namespace drossgate::tools::init
