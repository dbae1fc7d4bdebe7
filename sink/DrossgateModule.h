#pragma once
// What the sink does with a saved item: rule evaluation on the item's record, the begin
// phase (move, set SCL, or park for delete/forward under the "Moved to" marker) and the
// committed phase (finish a delete, or forward through the pickup directory). Nothing here
// fails towards the store: every failing step is skipped and its value counts as empty.

#include <functional>
#include <string>
#include <string_view>

#include "SinkSettings.h"
#include "com/com.h"
#include "rules.h"
#include "store/names.h"

namespace drossgate::platform::store {
class Record;
}

namespace drossgate::sink {

// The subject's property name, under the name the setup program's tests know it by.
inline constexpr const char* kSubjectField = platform::store::names::kSubjectName;

using common::rules::ActionKind;
using common::rules::ClassifyAction;

// Rules 0..lastRule in order; returns the index of the first that matches, or -1. The
// current fields of settings are left on the rule evaluated last. prepare, when given, runs
// for every rule with a non-empty action before it is tested.
int EvaluateRules(platform::store::Record& record, SinkSettings& settings,
                  const std::function<void()>& prepare = {});

// The header-line test on a transport header block (lines separated by CR LF).
bool HeaderLineTest(std::string_view block, std::string_view headerName, std::string_view pattern);

// Names derived from an item's parent folder URL.
struct MailboxNames {
  std::string filePath;      // \\.\backofficestorage\DOMAIN\MBX\MAILBOX\ (final "\")
  std::string url;           // file://./backofficestorage/DOMAIN/MBX/MAILBOX
  std::string containerUrl;  // file://./backofficestorage/DOMAIN/MBX/
};
MailboxNames DeriveMailboxNames(const std::string& parentUrl);
// The text after the last "/-FlatUrlSpace-/" of a permanent URL, or the whole URL.
std::string MailboxIdentity(const std::string& permanentUrl);

// True when text can go into an envelope line as it is (no CR, LF or NUL).
bool IsSafeEnvelopeText(std::string_view text);

// The begin phase; true when it parked the message, so that the committed phase has work.
bool HandleBeginSave(platform::com::IExStoreEventInfo* info, const std::string& itemUrl,
                     int32_t flags);
// The committed phase of a message the begin phase parked for action.
void HandleCommittedSave(platform::com::IExStoreEventInfo* info, const std::string& itemUrl,
                         int32_t flags, const std::string& action);

}  // namespace drossgate::sink
