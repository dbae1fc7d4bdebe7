#include "Globals.h"

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QCursor>
#include <QDateTime>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>

#include <iostream>

#include "Folders.h"
#include "HScrollListBox.h"
#include "InstallForm.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::setup {

namespace dir = platform::directory;

namespace {

bool g_messagesToStderr = false;
MessageHook g_messageHook;
QuestionHook g_questionHook;

constexpr const char* kDisabledMark = " [***DISABLED***]";
constexpr const char* kSystemMailboxPrefix = "SystemMailbox{";
constexpr uint32_t kAccountDisabled = 2;
constexpr const char* kSelectAll = "Select All";

// The locale's long time format without its time-zone designator.
QString LongTimeFormat(const QLocale& locale) {
  QString format = locale.timeFormat(QLocale::LongFormat);
  format.remove(QLatin1Char('t'));
  return format.trimmed();
}

}  // namespace

// --- Messages -----------------------------------------------------------------------------

void SetMessagesToStderr(bool toStderr) {
  g_messagesToStderr = toStderr;
}
bool MessagesToStderr() {
  return g_messagesToStderr;
}
void SetMessageHook(MessageHook hook) {
  g_messageHook = std::move(hook);
}

void ShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                 const QString& text) {
  if (g_messageHook) {
    g_messageHook(icon, title, text);
    return;
  }
  if (g_messagesToStderr) {
    std::cerr << title.toStdString() << ": " << text.toStdString() << std::endl;
    return;
  }
  QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
  box.exec();
}

void SetQuestionHook(QuestionHook hook) {
  g_questionHook = std::move(hook);
}

bool AskQuestion(QWidget* parent, const QString& title, const QString& text) {
  if (g_questionHook) return g_questionHook(title, text);
  return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

QString FatalErrorText(const platform::PlatformError& error) {
  return QStringLiteral("%1 (error %2)")
      .arg(QString::fromStdString(error.description()))
      .arg(error.number());
}

Hourglass::Hourglass() {
  QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
}
Hourglass::~Hourglass() {
  QApplication::restoreOverrideCursor();
}

// --- Error log ----------------------------------------------------------------------------

QString LogDateTime() {
  const QLocale locale;
  const QDateTime now = QDateTime::currentDateTime();
  return locale.toString(now.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
         locale.toString(now.time(), LongTimeFormat(locale));
}

void AppendErrorLog(ErrorLog& log, const std::string& subject,
                    const platform::PlatformError& error) {
  const QString entry = QLatin1Char('[') + LogDateTime() + QStringLiteral("] ") +
                        QString::fromStdString(subject) + QStringLiteral(" - ERROR: ") +
                        QString::number(error.number()) + QLatin1Char(' ') +
                        QString::fromStdString(error.description()) + QStringLiteral("\r\n\r\n");
  log.SetErrorLogText(entry + log.ErrorLogText());
}

// --- Directory queries --------------------------------------------------------------------

std::string QuoteForQuery(std::string_view value) {
  return text::ReplaceAll(value, "'", "''");
}

const std::vector<QueryProperty>& ListingQueryProperties() {
  static const std::vector<QueryProperty> properties = {
      {"searchscope", int32_t{2}}, {"cache results", true},        {"Chase Referrals", int32_t{96}},
      {"Page Size", int32_t{100}}, {"Size Limit", int32_t{30000}}, {"Timeout", int32_t{120}}};
  return properties;
}

std::unique_ptr<dir::RecordSet> RunDirectoryQuery(Globals& globals, const std::string& text,
                                                  const std::vector<QueryProperty>& properties) {
  if (!globals.DirectoryConnection)
    platform::Fail(platform::errors::kNotOpen, "The directory connection is not open");
  auto command = dir::CreateCommand();
  command->SetActiveConnection(globals.DirectoryConnection.get());
  command->SetCommandText(text);
  for (const auto& [name, value] : properties) command->SetProperty(name, value);
  return command->Execute();
}

std::string ServerNameOf(std::string_view homeServer) {
  const size_t at = text::RFindNoCase(homeServer, "CN=");
  if (at == std::string_view::npos || at + 3 >= homeServer.size()) return {};
  return std::string(homeServer.substr(at + 3));
}

std::string DomainOfCategory(std::string_view category) {
  std::string c(category);
  const size_t first = text::FindNoCase(c, "DC=");
  if (first == std::string::npos) return {};
  c = c.substr(first + 3);
  const size_t lead = c.find_first_not_of(' ');
  c.erase(0, lead == std::string::npos ? c.size() : lead);
  if (c.empty()) return {};
  const size_t last = text::RFindNoCase(c, "DC=");
  if (last != std::string::npos) {
    const size_t comma = c.find(',', last);
    // A 1-based position of 3 or later: at least two characters stay.
    if (comma != std::string::npos && comma >= 2) c.resize(comma);
  }
  c = text::ReplaceAll(c, " ", "");
  return text::ReplaceAll(c, ",DC=", ".");
}

// --- Lookups ------------------------------------------------------------------------------

std::string GetCurrentUserName() {
  return platform::ValueOr(std::string(), [] { return platform::CurrentUserName(); });
}

std::string GetWorkstationDomain() {
  return platform::ValueOr(std::string(), [] { return platform::Machine().workgroup; });
}

void FillIdentityField(InstallForm& form) {
  const std::string user = GetCurrentUserName();
  auto records = RunDirectoryQuery(
      form.globals(),
      "SELECT sAMAccountName, cn, objectCategory FROM '" +
          QuoteForQuery(form.globals().GlobalCatalogPath) + "' " +
          "WHERE objectcategory='person' AND sAMAccountName='" + QuoteForQuery(user) + "'",
      {{"searchscope", int32_t{2}}, {"cache results", false}, {"Chase Referrals", int32_t{96}}});
  std::string identity;
  if (!records->IsEof()) {
    const std::string domain = DomainOfCategory(records->Field("objectcategory").Text());
    if (!domain.empty()) identity = domain + "\\" + user;
  }
  records->Close();
  const std::string workstationDomain = GetWorkstationDomain();
  if (!workstationDomain.empty()) identity = workstationDomain + "\\" + user;
  form.ui().txtIdent->setText(QString::fromStdString(identity));
}

// --- Progress -----------------------------------------------------------------------------

int32_t PercentOf(int64_t count, int64_t scale) {
  if (scale <= 0) return 0;
  const int64_t scaled = count * 100;
  int64_t quotient = scaled / scale;
  const int64_t twiceRest = 2 * (scaled % scale);
  if (twiceRest > scale || (twiceRest == scale && quotient % 2 != 0)) ++quotient;
  return static_cast<int32_t>(quotient);
}

void UpdateStatus(int32_t increment, QProgressBar& picture, int32_t& progressCount) {
  const int32_t scale = picture.maximum();
  progressCount += increment;
  if (progressCount > scale) progressCount = scale;
  picture.setValue(progressCount);
  // Drawn when the caller lets the window's events run: the bar is repainted when it changes,
  // not once per record.
  picture.setFormat(QString::number(PercentOf(progressCount, scale)) + QLatin1Char('%'));
}

// --- Mailbox enumeration ------------------------------------------------------------------

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

namespace {

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

int ProbeMailbox(InstallForm& form, const std::string& folderName, const std::string& alias,
                 const std::string& mail, bool logFailure, std::string* failure) {
  const InstallFormState& state = form.state();
  const MailAddressParts parts = SplitMail(mail);
  // Whether the failure of the last probe that ran is to be logged.
  bool logLast = false;
  ProbeLog lastLog;
  auto probe = [&](const std::string& url, bool logged) {
    std::string mailboxUrl = url;
    logLast = logged;
    lastLog.SetErrorLogText(QString());
    return CheckRegistrationItem(mailboxUrl, folderName, kRegistrationItemName, &lastLog,
                                 *form.globals().StoreConnection);
  };
  int result = -1;
  if (!parts.mailDomain.empty() && !alias.empty()) {
    result = probe("file://./backofficestorage/" + parts.mailDomain + "/mbx/" + alias, false);
    if (result == -1)
      result = probe(
          "http://" + state.ComputerName + "/exadmin/" + parts.mailDomain + "/mbx/" + alias, false);
  }
  if (!alias.empty() && result == -1) {
    result = probe(state.FolderURL + "/" + alias, false);
    if (result == -1) result = probe(state.FileFolderURL + "/" + alias, parts.mailAlias.empty());
  }
  if (!parts.mailAlias.empty() && result == -1) {
    result = probe(state.FolderURL + "/" + parts.mailAlias, false);
    if (result == -1) result = probe(state.FileFolderURL + "/" + parts.mailAlias, true);
  }
  if (result == -1 && !lastLog.entry().isEmpty()) {
    if (logFailure && logLast) form.SetErrorLogText(lastLog.entry() + form.ErrorLogText());
    if (failure) *failure = lastLog.entry().trimmed().toStdString();
  }
  return result;
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

std::string WithoutLogTime(std::string_view entry) {
  const size_t end = entry.find("] ");
  if (entry.empty() || entry.front() != '[' || end == std::string_view::npos)
    return std::string(entry);
  return std::string(entry.substr(end + 2));
}

namespace {

// The home-server value of this server's system mailboxes, or empty when none is homed here.
std::string FindHomeServer(InstallForm& form) {
  const InstallFormState& state = form.state();
  auto records =
      RunDirectoryQuery(form.globals(),
                        "SELECT msExchHomeServerName FROM '" +
                            QuoteForQuery(form.globals().GlobalCatalogPath) + "' " +
                            "WHERE objectcategory='person' AND MsExchMailboxGuid='*' And "
                            "mailNickName='SystemMailbox{*' ORDER BY cn",
                        {{"Timeout", int32_t{120}}});
  std::string home;
  for (; !records->IsEof(); records->MoveNext()) {
    const std::string value = records->Field("msExchHomeServerName").Text();
    const std::string server = ServerNameOf(value);
    if (text::EqualsNoCase(server, state.ShortComputerName) ||
        (state.blnIsClusterNode && text::EqualsNoCase(server, state.ClusterName))) {
      home = value;
      break;
    }
  }
  records->Close();
  return home;
}

// Entries gathered during a fill, put into their lists at its end.
struct PendingList {
  QListWidget* list;
  QStringList entries;
};

}  // namespace

void GetUsersWithMailboxes(InstallForm& form) {
  const InstallFormControls& ui = form.ui();
  PendingList sysUnregistered{ui.SysMbxInstList, {}}, unregistered{ui.MbxInstList, {}},
      registered{ui.MbxUninstList, {}}, sysRegistered{ui.SysMbxUninstList, {}};
  PendingList* const pendingLists[] = {&sysUnregistered, &unregistered, &registered,
                                       &sysRegistered};
  for (PendingList* pending : pendingLists) pending->list->clear();
  // A list emptied is a list with nothing selected.
  for (QPushButton* button : {ui.Command4, ui.Command5, ui.Command6, ui.Command7})
    button->setText(kSelectAll);
  ui.Check2->setChecked(false);
  ui.Check5->setChecked(false);
  auto& statuses = form.globals().MailboxStatuses;
  statuses.clear();
  auto add = [&](PendingList& pending, const std::string& entry, MailboxStatus status) {
    pending.entries << QString::fromStdString(entry);
    statuses[entry] = std::move(status);
  };
  // Where a probe's result puts an entry, and what it tells of the mailbox.
  auto probed = [&](PendingList& notThere, PendingList& there, const std::string& entry, int found,
                    std::string failure) {
    if (found == 1) return add(there, entry, {MailboxStatus::kRegistered, {}});
    if (found == 0) return add(notThere, entry, {MailboxStatus::kNotRegistered, {}});
    if (failure.empty()) failure = "neither an alias nor a mail address to find its mailbox by";
    add(notThere, entry, {MailboxStatus::kUnreachable, std::move(failure)});
  };

  std::unique_ptr<dir::RecordSet> records;
  const std::string home = FindHomeServer(form);
  if (!home.empty()) {
    const std::string server = ServerNameOf(home);
    records = RunDirectoryQuery(
        form.globals(),
        "SELECT adspath, cn, msExchHomeServerName,mailNickName,mail,homeMDB,"
        "userAccountControl,msExchMailboxGUID FROM '" +
            QuoteForQuery(form.globals().GlobalCatalogPath) + "' " +
            "WHERE objectcategory='person' AND MsExchMailboxGuid='*' And msExchHomeServerName='" +
            QuoteForQuery(home) + "' ORDER BY cn",
        ListingQueryProperties());
    if (!records->IsEof()) {
      int32_t& progress = form.globals().ProgressCount;
      progress = 0;
      ui.Picture1->setRange(0, std::max(records->RecordCount(), int32_t{1}));
      ui.Picture1->setValue(0);
      ui.Picture1->show();
      for (; !records->IsEof(); records->MoveNext()) {
        UpdateStatus(1, *ui.Picture1, progress);
        QCoreApplication::processEvents();
        if (form.ClosePending()) break;

        const std::string alias = records->Field("mailNickName").Text();
        const std::string commonName = records->Field("cn").Text();
        const std::string mail = records->Field("mail").Text();
        std::string failure;
        if (text::StartsWithNoCase(alias, kSystemMailboxPrefix)) {
          // A store's system mailbox carries the store-wide registration.
          const int found = ProbeMailbox(form, kStoreWideFolder, alias, mail, true, &failure);
          probed(sysUnregistered, sysRegistered,
                 MailboxEntry(commonName, false, server, mail, alias), found, failure);
          continue;
        }
        const uint32_t flags =
            static_cast<uint32_t>(records->Field("userAccountControl").Int32().value_or(0));
        const std::string entry =
            MailboxEntry(commonName, flags & kAccountDisabled, server, mail, alias);
        if (flags & kAccountDisabled) {
          // The window never probes a disabled account. The unattended mode does (quietly: its
          // mailbox may well be gone), so that a registration once made can be removed again.
          const int found = form.state().probeDisabled
                                ? ProbeMailbox(form, "inbox", alias, mail, false, &failure)
                                : 0;
          if (found == 1 || ui.Check7->isChecked())
            probed(unregistered, registered, entry, found, failure);
          continue;
        }
        const int found = ProbeMailbox(form, "inbox", alias, mail, true, &failure);
        probed(unregistered, registered, entry, found, failure);
      }
      ui.Picture1->reset();
      ui.Picture1->setFormat(QString());
      ui.Picture1->hide();
    }
  }
  if (records) records->Close();
  for (PendingList* pending : pendingLists) {
    pending->list->addItems(pending->entries);
    SetHorizontalExtent(*pending->list);
  }
  const std::pair<QCheckBox*, QListWidget*> boxes[] = {{ui.Check2, ui.SysMbxInstList},
                                                       {ui.Check3, ui.MbxInstList},
                                                       {ui.Check4, ui.MbxUninstList},
                                                       {ui.Check5, ui.SysMbxUninstList}};
  for (const auto& [box, list] : boxes) {
    box->setChecked(false);
    box->setEnabled(list->count() > 0);
  }
}

}  // namespace drossgate::setup
