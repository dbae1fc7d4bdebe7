#pragma once
// The mailbox enumeration behind the four mailbox lists: the mailboxes the directory homes on
// this server (or its virtual server), each probed for the sink's registration item, sorted
// into store-wide and per-mailbox, registered and not. Probe failures go to the error log;
// a failing directory query raises PlatformError. No window: the caller shows the lists and
// the progress.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Items.h"
#include "Session.h"

namespace drossgate::setup {

struct MailAddressParts {
  std::string mailAlias;
  std::string mailDomain;
};
MailAddressParts SplitMail(const std::string& mail);

// One line of the mailbox lists; a disabled account's common name carries a mark.
std::string MailboxEntry(const std::string& commonName, bool disabled, const std::string& server,
                         const std::string& mail, const std::string& alias);
// Whether a line of the mailbox lists is a disabled account's.
bool IsDisabledEntry(std::string_view entry);
// "not registered", "registered" or "unreachable".
const char* StateName(MailboxStatus::State state);

// This server as the enumeration needs it.
struct ServerFacts {
  MailboxRoots roots;
  std::string shortComputerName;
  bool isClusterNode = false;
  std::string clusterName;
};

// The four lists in directory order (by common name), named after the window's lists, and what
// was learnt of each entry.
struct MailboxLists {
  std::vector<std::string> storeWideUnregistered;  // SysMbxInstList
  std::vector<std::string> unregistered;           // MbxInstList
  std::vector<std::string> registered;             // MbxUninstList
  std::vector<std::string> storeWideRegistered;    // SysMbxUninstList
  std::unordered_map<std::string, MailboxStatus> statuses;
};

// How an enumeration reports its way through the directory's records; each part may be empty.
struct EnumerationProgress {
  std::function<void(int32_t records)> started;  // only when there are records
  std::function<bool()> advanced;                // before each record; false stops early
  std::function<void()> finished;                // after the last record, when started
};

class MailboxEnumeration {
 public:
  MailboxEnumeration(Globals& globals, ServerFacts server, ErrorLog& log)
      : globals_(globals), server_(std::move(server)), log_(log) {}

  // Disabled accounts listed ("Show disabled"); and probed (the unattended mode, so that a
  // registration once made can be removed), else they count as not registered.
  bool showDisabled = true;
  bool probeDisabled = false;

  MailboxLists Enumerate(const EnumerationProgress& progress = {});

  // Tries the mailbox's candidate URLs in turn for the registration item in folderName; 1
  // found, 0 absent, -1 every probe failed (then one log entry, by the last probe that ran,
  // when logFailure). failure, when given, receives that entry (logged or not) without its
  // line ends.
  int Probe(const std::string& folderName, const std::string& alias, const std::string& mail,
            bool logFailure = true, std::string* failure = nullptr);

 private:
  // The home-server value of this server's system mailboxes, or empty when none is homed here.
  std::string FindHomeServer();

  Globals& globals_;
  ServerFacts server_;
  ErrorLog& log_;
};

}  // namespace drossgate::setup
