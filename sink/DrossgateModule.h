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
#include "evaluation.h"
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
using common::rules::DeriveMailboxNames;
using common::rules::HeaderLineTest;
using common::rules::MailboxIdentity;
using common::rules::MailboxNames;

// common::rules::EvaluateRules on the item's subject, SCL and transport header block, each
// read from the record when a rule first needs it.
int EvaluateRules(platform::store::Record& record, SinkSettings& settings,
                  const std::function<void()>& prepare = {});

// True when text can go into an envelope line as it is (no CR, LF or NUL).
bool IsSafeEnvelopeText(std::string_view text);

// The begin phase; true when it parked the message, so that the committed phase has work.
bool HandleBeginSave(platform::com::IExStoreEventInfo* info, const std::string& itemUrl,
                     int32_t flags);
// The committed phase of a message the begin phase parked for action.
void HandleCommittedSave(platform::com::IExStoreEventInfo* info, const std::string& itemUrl,
                         int32_t flags, const std::string& action);

}  // namespace drossgate::sink
