#pragma once
// What every operation of the setup program works with, window or not: the directory and store
// connections and the global catalog, the error log (newest entry on top) with its entry form,
// and directory queries with their quoting. Nothing here needs a widget; a failing directory
// query raises PlatformError.

#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "directory/directory.h"
#include "error.h"
#include "store/store.h"

namespace drossgate::setup {

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

// State shared by the setup tool's windows and operations; the main window owns the one
// instance.
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
// A log entry without its leading "[date and time] ".
std::string WithoutLogTime(std::string_view entry);

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

// A value made safe for a quoted literal of a query text: the directory layer's quoting.
using platform::directory::QuoteQueryValue;

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

std::string GetCurrentUserName();
// The workstation's domain or workgroup, or empty.
std::string GetWorkstationDomain();

// Rounded to the nearest whole percent, a half to the even neighbour.
int32_t PercentOf(int64_t count, int64_t scale);

}  // namespace drossgate::setup
