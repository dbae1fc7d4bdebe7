#pragma once
// Program-wide state and the routines every window of the setup tool shares: message boxes
// (on screen, or on stderr in batch mode), the error log's entry form, directory queries and
// the mailbox enumeration. Store and catalog failures become result values and log entries;
// a failing directory query raises PlatformError, which ends the program (see InstallForm).

#include <QMessageBox>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "directory/directory.h"
#include "error.h"
#include "store/store.h"

class QProgressBar;
class QWidget;

namespace drossgate::setup {

class InstallForm;

inline constexpr const char* kProjectName = "Drossgate";
// The title of message boxes that name the program rather than the window.
inline constexpr const char* kProgramTitle = "DrossgateSetup";
inline constexpr const char* kRegistrationItemName = "Drossgate.reg";
inline constexpr const char* kStoreWideFolder = "StoreEvents/GlobalEvents";

// What the enumeration learnt of one listed mailbox. A disabled account the window does not
// probe counts as not registered.
struct MailboxStatus {
  enum State { kNotRegistered, kRegistered, kUnreachable };
  State state = kNotRegistered;
  std::string failure;  // unreachable: the log entry of its last probe (or why none could run)
};

// State shared by the setup tool's windows; the main window owns the one instance.
struct Globals {
  std::string GlobalCatalogPath;  // "GC://" + global catalog host
  std::unique_ptr<platform::directory::Connection> DirectoryConnection;
  std::unique_ptr<platform::store::Connection> StoreConnection;
  bool InitDone = false;
  QString LastValidPriority;
  int32_t ProgressCount = 0;
  // Of every entry of the mailbox lists, by its text.
  std::unordered_map<std::string, MailboxStatus> MailboxStatuses;
};

// --- Messages -----------------------------------------------------------------------------

// Batch mode: no window may wait for a person, so a message box becomes a line on stderr.
void SetMessagesToStderr(bool toStderr);
bool MessagesToStderr();
// Tests replace the boxes with a recorder; an empty hook restores the normal route.
using MessageHook =
    std::function<void(QMessageBox::Icon, const QString& title, const QString& text)>;
void SetMessageHook(MessageHook hook);
// An OK-only message box (or its stderr line in batch mode).
void ShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                 const QString& text);
// A Yes/No question box, true for Yes; the window's own, never asked in batch mode. Tests answer
// through the hook; an empty hook restores the box.
using QuestionHook = std::function<bool(const QString& title, const QString& text)>;
void SetQuestionHook(QuestionHook hook);
bool AskQuestion(QWidget* parent, const QString& title, const QString& text);
// The message that ends the program after a platform failure it cannot go on without.
QString FatalErrorText(const platform::PlatformError& error);

// Hourglass pointer for the lifetime of the object.
class Hourglass {
 public:
  Hourglass();
  ~Hourglass();
  Hourglass(const Hourglass&) = delete;
  Hourglass& operator=(const Hourglass&) = delete;
};

// --- Error log ----------------------------------------------------------------------------

// The window's error log: the newest entry on top.
class ErrorLog {
 public:
  virtual ~ErrorLog() = default;
  virtual QString ErrorLogText() const = 0;
  virtual void SetErrorLogText(const QString& text) = 0;
};

// The current local date and time as log entries show it: short date, blank, long time.
QString LogDateTime();
// Puts "[date-time] subject - ERROR: number description" and an empty line on top of the log.
void AppendErrorLog(ErrorLog& log, const std::string& subject,
                    const platform::PlatformError& error);

// Runs a store or catalog step: a PlatformError becomes false and, when log is given, one
// log entry about subject.
template <typename Step>
bool RunLogged(ErrorLog* log, const std::string& subject, Step&& step) {
  try {
    step();
    return true;
  } catch (const platform::PlatformError& error) {
    if (log) AppendErrorLog(*log, subject, error);
    return false;
  }
}

// --- Directory queries --------------------------------------------------------------------

// A value made safe for a quoted literal of a query text: every ' doubled.
std::string QuoteForQuery(std::string_view value);

using QueryProperty = std::pair<std::string, platform::directory::PropertyValue>;
// Runs text on the directory connection with the properties set in the order given; raises
// PlatformError when the query cannot run.
std::unique_ptr<platform::directory::RecordSet> RunDirectoryQuery(
    Globals& globals, const std::string& text, const std::vector<QueryProperty>& properties);
// The command properties of the long listing queries (mailboxes, forwarding recipients).
const std::vector<QueryProperty>& ListingQueryProperties();

// The server name in a home-server value: the text after the last "CN=" (any case), or empty
// when there is none or nothing follows it.
std::string ServerNameOf(std::string_view homeServer);
// The DNS domain spelled by the "DC=" components of a category's distinguished name, or empty.
std::string DomainOfCategory(std::string_view category);

// --- Lookups and the mailbox enumeration ---------------------------------------------------

std::string GetCurrentUserName();
// The workstation's domain or workgroup, or empty.
std::string GetWorkstationDomain();
// txtIdent := domain + "\" + the current user.
void FillIdentityField(InstallForm& form);

// Rounded to the nearest whole percent, a half to the even neighbour.
int32_t PercentOf(int64_t count, int64_t scale);
// Advances progressCount by increment (held at the bar's scale) and shows the percentage.
void UpdateStatus(int32_t increment, QProgressBar& picture, int32_t& progressCount);

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

// Tries the mailbox's candidate URLs in turn for the registration item in folderName; 1 found,
// 0 absent, -1 every probe failed (then one log entry, by the last probe that ran, when
// logFailure). failure, when given, receives that entry (logged or not) without its line ends.
int ProbeMailbox(InstallForm& form, const std::string& folderName, const std::string& alias,
                 const std::string& mail, bool logFailure = true, std::string* failure = nullptr);

// "not registered", "registered" or "unreachable".
const char* StateName(MailboxStatus::State state);
// A log entry without its leading "[date and time] ".
std::string WithoutLogTime(std::string_view entry);

// Refills the four mailbox lists from the directory and records each entry's status; raises
// PlatformError when a directory query fails. Advances the progress bar and yields to the event
// loop once per record, but puts the entries into the lists in one step at the end: a shown
// list lays all its entries out again whenever entries are added. The select buttons start
// again at "Select All".
void GetUsersWithMailboxes(InstallForm& form);

}  // namespace drossgate::setup
