#include "Items.h"

#include <memory>

#include "store/store.h"
#include "text.h"

namespace drossgate::setup {

namespace store = platform::store;

namespace {

constexpr std::string_view kEntrySeparator = " / ";
constexpr const char* kEvents = "http://schemas.microsoft.com/exchange/events/";

// A connection of the item operation's own, opened on the mailbox.
std::unique_ptr<store::Connection> OpenMailbox(const std::string& mailboxUrl) {
  auto connection = store::CreateConnection();
  connection->SetProvider(kItemProvider);
  connection->SetConnectionString(mailboxUrl);
  connection->Open(mailboxUrl);
  return connection;
}

// The folder that holds the item: the inbox through the mailbox's own inbox property (its
// name differs between mailboxes), any other folder as a path below the mailbox.
std::string FolderUrlOf(const std::string& mailboxUrl, const std::string& folderName,
                        store::Connection& connection) {
  if (!text::EqualsNoCase(folderName, "inbox")) return mailboxUrl + "/" + folderName;
  auto root = store::OpenRecord(mailboxUrl, &connection, store::Mode::kRead);
  store::Fields& fields = root->GetFields();
  std::string folderUrl = mailboxUrl;
  if (fields.Count() > 0) folderUrl = store::ValueText(fields.Get("urn:schemas:httpmail:inbox"));
  root->Close();
  return folderUrl;
}

bool TryInOrder(const std::vector<CandidateUrl>& candidates, const TryUrl& attempt) {
  for (const CandidateUrl& candidate : candidates)
    if (attempt(candidate)) return true;
  return false;
}

}  // namespace

std::string CreateRegistrationItem(const std::string& mailboxUrl, const std::string& folderName,
                                   const std::string& itemName, const std::string& eventMethod,
                                   const std::string& sinkClass, const std::string& matchScope,
                                   const std::string& criteria, const std::string& priority,
                                   ErrorLog* log) {
  std::string result;
  RunLogged(log, mailboxUrl, [&] {
    auto connection = OpenMailbox(mailboxUrl);
    const std::string folderUrl = FolderUrlOf(mailboxUrl, folderName, *connection);
    // Nothing reaches the store unless the whole item does: an uncommitted transaction is
    // rolled back when the connection goes.
    connection->BeginTrans();
    auto record =
        store::OpenRecord(folderUrl + "/" + itemName, connection.get(), store::Mode::kReadWrite,
                          store::kCreateOverwrite, store::kDelayFetchFields);
    store::Fields& fields = record->GetFields();
    const std::string events = kEvents;
    fields.Set("DAV:contentclass", std::string("urn:content-class:storeeventreg"));
    fields.Set(events + "EventMethod", eventMethod);
    fields.Set(events + "SinkClass", sinkClass);
    fields.Set(events + "MatchScope", matchScope);
    fields.Set(events + "criteria", criteria);
    fields.Set(events + "priority", priority);
    fields.Set("DAV:ishidden", true);
    fields.Update();
    record->Close();
    connection->CommitTrans();
    result = folderUrl;
  });
  return result;
}

bool DeleteRegistrationItem(const std::string& mailboxUrl, const std::string& folderName,
                            const std::string& itemName, ErrorLog* log) {
  return RunLogged(log, mailboxUrl, [&] {
    auto connection = OpenMailbox(mailboxUrl);
    const std::string url = FolderUrlOf(mailboxUrl, folderName, *connection) + "/" + itemName;
    auto record = store::OpenRecord(url, connection.get(), store::Mode::kReadWrite);
    record->DeleteRecord(url);
  });
}

EntryParts ParseMailboxEntry(std::string_view entry) {
  EntryParts parts;
  const size_t last = entry.rfind(kEntrySeparator);
  if (last == std::string_view::npos) {
    parts.alias = text::Trim(entry);
    parts.address = parts.alias;
  } else {
    parts.alias = text::Trim(entry.substr(last + kEntrySeparator.size()));
    // The separator before the last one, wholly in front of it.
    const size_t before = last >= kEntrySeparator.size()
                              ? entry.rfind(kEntrySeparator, last - kEntrySeparator.size())
                              : std::string_view::npos;
    const size_t start = before == std::string_view::npos ? 0 : before + kEntrySeparator.size();
    parts.address = text::Trim(entry.substr(start, last - start));
  }
  const size_t at = parts.address.rfind('@');
  if (at != std::string::npos && at > 0) {
    parts.localPart = parts.address.substr(0, at);
    parts.domain = parts.address.substr(at + 1);
  } else {
    parts.localPart = parts.address;
    parts.domain = parts.address;
  }
  return parts;
}

std::vector<CandidateUrl> RegistrationCandidates(const EntryParts& parts,
                                                 const MailboxRoots& roots) {
  std::vector<CandidateUrl> candidates;
  const std::string& local = parts.localPart;
  if (!local.empty() && !parts.domain.empty()) {
    candidates.push_back({"file://./backofficestorage/" + parts.domain + "/mbx/" + local, false});
    candidates.push_back(
        {"http://" + roots.computerName + "/exadmin/" + parts.domain + "/mbx/" + local, false});
  }
  if (!local.empty()) {
    candidates.push_back({roots.fileFolderUrl + "/" + local, false});
    // Without an alias this is the last chance, so its failure is the one worth reporting.
    candidates.push_back({roots.folderUrl + "/" + local, parts.alias.empty()});
  }
  if (!parts.alias.empty()) {
    candidates.push_back({roots.fileFolderUrl + "/" + parts.alias, false});
    candidates.push_back({roots.folderUrl + "/" + parts.alias, true});
  }
  return candidates;
}

std::vector<CandidateUrl> UnregistrationCandidates(const EntryParts& parts,
                                                   const MailboxRoots& roots) {
  std::vector<CandidateUrl> candidates;
  candidates.push_back({roots.folderUrl + "/" + parts.localPart, false});
  if (!parts.alias.empty()) {
    candidates.push_back({roots.folderUrl + "/" + parts.alias, true});
    candidates.push_back({roots.fileFolderUrl + "/" + parts.alias, true});
  }
  candidates.push_back({roots.fileFolderUrl + "/" + parts.localPart, false});
  return candidates;
}

bool RegisterEntry(std::string_view entry, const MailboxRoots& roots, const TryUrl& attempt) {
  return TryInOrder(RegistrationCandidates(ParseMailboxEntry(entry), roots), attempt);
}

bool UnregisterEntry(std::string_view entry, const MailboxRoots& roots, const TryUrl& attempt) {
  return TryInOrder(UnregistrationCandidates(ParseMailboxEntry(entry), roots), attempt);
}

bool RegisterEntry(std::string_view entry, const MailboxRoots& roots, const RegistrationKind& kind,
                   const std::string& priority, ErrorLog& log) {
  return RegisterEntry(entry, roots, [&](const CandidateUrl& candidate) {
    return !CreateRegistrationItem(candidate.url, kind.folderName, kRegistrationItemName,
                                   kEventMethod, kSinkClass, kind.matchScope, kCriteria, priority,
                                   candidate.showErrors ? &log : nullptr)
                .empty();
  });
}

bool UnregisterEntry(std::string_view entry, const MailboxRoots& roots,
                     const RegistrationKind& kind, ErrorLog& log) {
  return UnregisterEntry(entry, roots, [&](const CandidateUrl& candidate) {
    return DeleteRegistrationItem(candidate.url, kind.folderName, kRegistrationItemName,
                                  candidate.showErrors ? &log : nullptr);
  });
}

}  // namespace drossgate::setup
