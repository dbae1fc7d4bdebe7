#include "Mailboxes.h"

#include "Folders.h"
#include "text.h"

namespace drossgate::setup {

namespace {

constexpr const char* kDisabledMark = " [***DISABLED***]";
constexpr const char* kSystemMailboxPrefix = "SystemMailbox{";
constexpr uint32_t kAccountDisabled = 2;

// The log of one probe: it keeps the entry a failure writes; the caller decides whether the
// window's log gets it.
class ProbeLog final : public ErrorLog {
 public:
  QString ErrorLogText() const override { return {}; }
  void SetErrorLogText(const QString& text) override { entry_ = text; }
  const QString& entry() const { return entry_; }

 private:
  QString entry_;
};

}  // namespace

MailAddressParts SplitMail(const std::string& mail) {
  const size_t at = mail.find('@');
  if (at == std::string::npos || at == 0) return {mail, mail};
  return {mail.substr(0, at), mail.substr(at + 1)};
}

std::string MailboxEntry(const std::string& commonName, bool disabled, const std::string& server,
                         const std::string& mail, const std::string& alias) {
  return commonName + (disabled ? kDisabledMark : "") + " / " + server + " / " + mail + " / " +
         alias;
}

bool IsDisabledEntry(std::string_view entry) {
  return entry.find(std::string(kDisabledMark) + " / ") != std::string_view::npos;
}

const char* StateName(MailboxStatus::State state) {
  switch (state) {
    case MailboxStatus::kRegistered:
      return "registered";
    case MailboxStatus::kUnreachable:
      return "unreachable";
    default:
      return "not registered";
  }
}

int MailboxEnumeration::Probe(const std::string& folderName, const std::string& alias,
                              const std::string& mail, bool logFailure, std::string* failure) {
  const MailboxRoots& roots = server_.roots;
  const MailAddressParts parts = SplitMail(mail);
  // Whether the failure of the last probe that ran is to be logged.
  bool logLast = false;
  ProbeLog lastLog;
  auto probe = [&](const std::string& url, bool logged) {
    std::string mailboxUrl = url;
    logLast = logged;
    lastLog.SetErrorLogText(QString());
    return CheckRegistrationItem(mailboxUrl, folderName, kRegistrationItemName, &lastLog,
                                 *globals_.StoreConnection);
  };
  int result = -1;
  if (!parts.mailDomain.empty() && !alias.empty()) {
    result = probe("file://./backofficestorage/" + parts.mailDomain + "/mbx/" + alias, false);
    if (result == -1)
      result = probe(
          "http://" + roots.computerName + "/exadmin/" + parts.mailDomain + "/mbx/" + alias, false);
  }
  if (!alias.empty() && result == -1) {
    result = probe(roots.folderUrl + "/" + alias, false);
    if (result == -1) result = probe(roots.fileFolderUrl + "/" + alias, parts.mailAlias.empty());
  }
  if (!parts.mailAlias.empty() && result == -1) {
    result = probe(roots.folderUrl + "/" + parts.mailAlias, false);
    if (result == -1) result = probe(roots.fileFolderUrl + "/" + parts.mailAlias, true);
  }
  if (result == -1 && !lastLog.entry().isEmpty()) {
    if (logFailure && logLast) log_.SetErrorLogText(lastLog.entry() + log_.ErrorLogText());
    if (failure) *failure = lastLog.entry().trimmed().toStdString();
  }
  return result;
}

std::string MailboxEnumeration::FindHomeServer() {
  auto records = RunDirectoryQuery(globals_,
                                   "SELECT msExchHomeServerName FROM '" +
                                       QuoteQueryValue(globals_.GlobalCatalogPath) + "' " +
                                       "WHERE objectcategory='person' AND MsExchMailboxGuid='*' "
                                       "And mailNickName='SystemMailbox{*' ORDER BY cn",
                                   {{"Timeout", int32_t{120}}});
  std::string home;
  for (; !records->IsEof(); records->MoveNext()) {
    const std::string value = records->Field("msExchHomeServerName").Text();
    const std::string server = ServerNameOf(value);
    if (text::EqualsNoCase(server, server_.shortComputerName) ||
        (server_.isClusterNode && text::EqualsNoCase(server, server_.clusterName))) {
      home = value;
      break;
    }
  }
  records->Close();
  return home;
}

MailboxLists MailboxEnumeration::Enumerate(const EnumerationProgress& progress) {
  MailboxLists lists;
  auto add = [&](std::vector<std::string>& list, const std::string& entry, MailboxStatus status) {
    list.push_back(entry);
    lists.statuses[entry] = std::move(status);
  };
  // Where a probe's result puts an entry, and what it tells of the mailbox.
  auto probed = [&](std::vector<std::string>& notThere, std::vector<std::string>& there,
                    const std::string& entry, int found, std::string failure) {
    if (found == 1) return add(there, entry, {MailboxStatus::kRegistered, {}});
    if (found == 0) return add(notThere, entry, {MailboxStatus::kNotRegistered, {}});
    if (failure.empty()) failure = "neither an alias nor a mail address to find its mailbox by";
    add(notThere, entry, {MailboxStatus::kUnreachable, std::move(failure)});
  };

  const std::string home = FindHomeServer();
  if (home.empty()) return lists;
  const std::string server = ServerNameOf(home);
  auto records = RunDirectoryQuery(
      globals_,
      "SELECT adspath, cn, msExchHomeServerName,mailNickName,mail,homeMDB,"
      "userAccountControl,msExchMailboxGUID FROM '" +
          QuoteQueryValue(globals_.GlobalCatalogPath) + "' " +
          "WHERE objectcategory='person' AND MsExchMailboxGuid='*' And msExchHomeServerName='" +
          QuoteQueryValue(home) + "' ORDER BY cn",
      ListingQueryProperties());
  if (!records->IsEof()) {
    if (progress.started) progress.started(records->RecordCount());
    for (; !records->IsEof(); records->MoveNext()) {
      if (progress.advanced && !progress.advanced()) break;

      const std::string alias = records->Field("mailNickName").Text();
      const std::string commonName = records->Field("cn").Text();
      const std::string mail = records->Field("mail").Text();
      std::string failure;
      if (text::StartsWithNoCase(alias, kSystemMailboxPrefix)) {
        // A store's system mailbox carries the store-wide registration.
        const int found = Probe(kStoreWideFolder, alias, mail, true, &failure);
        probed(lists.storeWideUnregistered, lists.storeWideRegistered,
               MailboxEntry(commonName, false, server, mail, alias), found, failure);
        continue;
      }
      const uint32_t flags =
          static_cast<uint32_t>(records->Field("userAccountControl").Int32().value_or(0));
      const std::string entry =
          MailboxEntry(commonName, flags & kAccountDisabled, server, mail, alias);
      if (flags & kAccountDisabled) {
        // Its mailbox may well be gone, so a probe of it is quiet.
        const int found = probeDisabled ? Probe("inbox", alias, mail, false, &failure) : 0;
        if (found == 1 || showDisabled)
          probed(lists.unregistered, lists.registered, entry, found, failure);
        continue;
      }
      const int found = Probe("inbox", alias, mail, true, &failure);
      probed(lists.unregistered, lists.registered, entry, found, failure);
    }
    if (progress.finished) progress.finished();
  }
  records->Close();
  return lists;
}

}  // namespace drossgate::setup
