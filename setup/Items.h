#pragma once
// The event registration items that make the store call the sink: writing one into a
// mailbox's inbox or a store's system mailbox, deleting it again, and the order in which a
// list entry's possible mailbox URLs are tried. Store failures never escape: they become the
// result (an empty URL, false) and, where the attempt says so, one entry in the error log.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "Session.h"

namespace drossgate::setup {

inline constexpr const char* kItemProvider = "exoledb.datasource";
inline constexpr const char* kEventMethod = "onsyncsave";
inline constexpr const char* kSinkClass = "Drossgate.DrossgateCls";
// The store applies the sink to visible items only; the registration item itself is hidden.
inline constexpr const char* kCriteria = " WHERE \"DAV:ishidden\" = FALSE";

// Where a registration lies and what it watches.
struct RegistrationKind {
  const char* folderName;
  const char* matchScope;
};
inline constexpr RegistrationKind kPerMailbox{"inbox", "SHALLOW"};
inline constexpr RegistrationKind kStoreWide{kStoreWideFolder, "ANY"};

// Writes itemName into folderName of the mailbox at mailboxUrl ("inbox", any case, is found
// through the mailbox's inbox property) in one transaction, replacing an item of that name.
// Returns the watched folder's URL, or "" on any failure (logged in log when given).
std::string CreateRegistrationItem(const std::string& mailboxUrl, const std::string& folderName,
                                   const std::string& itemName, const std::string& eventMethod,
                                   const std::string& sinkClass, const std::string& matchScope,
                                   const std::string& criteria, const std::string& priority,
                                   ErrorLog* log);
// Deletes itemName from folderName of the mailbox; false on any failure, a missing item
// included (logged in log when given).
bool DeleteRegistrationItem(const std::string& mailboxUrl, const std::string& folderName,
                            const std::string& itemName, ErrorLog* log);

// The parts of a mailbox list entry ("name / server / address / alias") that name a mailbox.
struct EntryParts {
  std::string alias;
  std::string address;
  std::string localPart;
  std::string domain;
};
EntryParts ParseMailboxEntry(std::string_view entry);

// The mailbox containers of this server, as the window learnt them at start-up.
struct MailboxRoots {
  std::string fileFolderUrl;  // file://./backofficestorage/<domain>/mbx
  std::string folderUrl;      // http://<computer>/exadmin/<domain>/mbx
  std::string computerName;
};

// One mailbox URL to try, and whether its failure is to be logged.
struct CandidateUrl {
  std::string url;
  bool showErrors = false;

  bool operator==(const CandidateUrl&) const = default;
};
std::vector<CandidateUrl> RegistrationCandidates(const EntryParts& parts,
                                                 const MailboxRoots& roots);
std::vector<CandidateUrl> UnregistrationCandidates(const EntryParts& parts,
                                                   const MailboxRoots& roots);

// One attempt on one candidate; true when it succeeded.
using TryUrl = std::function<bool(const CandidateUrl&)>;
// Tries the entry's candidates in order and stops at the first success; true when one did.
bool RegisterEntry(std::string_view entry, const MailboxRoots& roots, const TryUrl& attempt);
bool UnregisterEntry(std::string_view entry, const MailboxRoots& roots, const TryUrl& attempt);

// The same on the store: the sink's item with the given kind and priority.
bool RegisterEntry(std::string_view entry, const MailboxRoots& roots, const RegistrationKind& kind,
                   const std::string& priority, ErrorLog& log);
bool UnregisterEntry(std::string_view entry, const MailboxRoots& roots,
                     const RegistrationKind& kind, ErrorLog& log);

}  // namespace drossgate::setup
