#include "DrossgateModule.h"

#include <ctime>
#include <memory>
#include <optional>

#include "CleanupThread.h"
#include "GUID.h"
#include "PickupDir.h"
#include "basParser.h"
#include "dllFolders.h"
#include "error.h"
#include "mailboxReads.h"
#include "store/names.h"
#include "store/store.h"
#include "text.h"

namespace drossgate::sink {

namespace store = platform::store;
namespace com = platform::com;
namespace names = platform::store::names;
using platform::SkipOnError;
using platform::ValueOr;

namespace {

// A field's value as text, empty when the item has no such field or it cannot be read.
std::string FieldText(store::Record& record, const char* name) {
  // Asked first: most messages lack some of the fields, and a missing one is no error here.
  return ValueOr(std::string(), [&] {
    store::Fields& fields = record.GetFields();
    return fields.Has(name) ? store::ValueText(fields.Get(name)) : std::string();
  });
}

std::shared_ptr<store::Record> EventRecord(com::IExStoreEventInfo* info) {
  std::shared_ptr<store::Record> record;
  if (!info || com::Failed(info->get_EventRecord(&record))) record.reset();
  return record;
}

bool IsEventForSink(int32_t flags) {
  return (flags & com::EVT_IS_DELIVERED) && !(flags & com::EVT_IS_COLLECTION);
}

// Appends the marker under its plain name and saves; false when it could not be saved.
bool SetMarker(store::Record& record, const std::string& destination) {
  const bool appended = SkipOnError([&] {
    record.GetFields().Append(names::kMarkerName, store::kFieldTypeText, 256, -1, destination);
  });
  return SkipOnError([&] { record.GetFields().Update(); }) && appended;
}

// The record's fields a rule reads, each read once, when a rule first needs it.
class RecordFields final : public common::rules::MessageFields {
 public:
  explicit RecordFields(store::Record& record) : record_(record) {}
  std::string_view Read(common::rules::Field field) override {
    using common::rules::Field;
    const int i = static_cast<int>(field);
    if (field == Field::kNone) return {};
    if (!values_[i]) {
      values_[i] = FieldText(record_, field == Field::kSubject ? names::kSubjectName
                                      : field == Field::kScl   ? names::kSclName
                                                               : names::kTransportHeadersName);
    }
    return *values_[i];
  }

 private:
  store::Record& record_;
  std::optional<std::string> values_[4];
};

// Takes the marker (and the hidden flag of a forward) off a message that was not parked after
// all: it stays in the inbox, visible, and no committed phase acts on it.
void UndoParking(store::Record& record) {
  SkipOnError([&] { record.GetFields().Delete(names::kMarkerProperty); });
  SkipOnError([&] { record.GetFields().Delete(names::kHiddenFlagName); });
  SkipOnError([&] { record.GetFields().Delete(names::kForwardToProperty); });
  SkipOnError([&] { record.GetFields().Update(); });
}

void PerformDelete(store::Record& record, const std::string& itemUrl, const MailboxNames& mbx) {
  if (mbx.url.empty()) return;
  const std::string destination = mbx.url + "/~~deleteit.eml";
  SetMarker(record, destination);
  // The store refuses to replace a folder of that name; the message then stays.
  if (!SkipOnError([&] { record.MoveRecord(itemUrl, destination, true); })) UndoParking(record);
}

void PerformForward(store::Record& record, const std::string& itemUrl, const MailboxNames& mbx,
                    const std::string& action) {
  // A message is never forwarded into the mailbox that received it.
  if (common::ForwardsToOwnMailbox(mbx.containerUrl, common::rules::RecipientAddress(action),
                                   mbx.url))
    return;

  const std::string guid = CreateGuidText();
  if (guid.empty()) return;  // a fixed name would overwrite an earlier parked message
  const std::string destination = mbx.url + "/" + guid + names::kRedirectSuffix;
  SkipOnError([&] { record.GetFields().Set(names::kHiddenFlagName, true); });
  // The recipient goes with the parked message, so that its forward can be made again from it.
  SkipOnError([&] {
    record.GetFields().Append(store::names::kForwardToName, store::kFieldTypeText, 256, -1, action);
  });
  // Parked without its marker the message would sit in the mailbox root, where no client shows
  // it, and never be forwarded; left hidden in the inbox it would be delivered yet invisible.
  // Either way the parking is undone and the message stays in the inbox.
  if (!SetMarker(record, destination) ||
      !SkipOnError([&] { record.MoveRecord(itemUrl, destination, true); }))
    UndoParking(record);
}

void PerformSetScl(store::Record& record, const std::string& action) {
  const std::optional<int32_t> scl = common::rules::ActionScl(action);
  if (!scl) return;
  SkipOnError([&] {
    record.GetFields().Set(names::kSclName, *scl);
    record.GetFields().Update();
  });
}

void PerformMove(store::Record& record, const std::string& itemUrl, const SinkSettings& s) {
  if (s.targetFolderUrl.empty()) return;
  const std::string guid = CreateGuidText();
  if (guid.empty()) return;  // a fixed name would overwrite an earlier moved message
  SkipOnError([&] { record.MoveRecord(itemUrl, s.targetFolderUrl + "/" + guid + ".eml", true); });
}

// Runs work in one store transaction on the store of url; a failure leaves nothing of it.
void InTransaction(const std::string& url, const std::function<void()>& work) {
  auto conn = store::CreateConnection();
  SkipOnError([&] {
    conn->SetProvider(store::kProvider);
    conn->Open(url.substr(0, url.rfind('/')));
    conn->BeginTrans();
    work();
    conn->CommitTrans();
  });
  SkipOnError([&] { conn->Close(); });  // rolls back what was not committed
}

// Runs work on the parked message in one store transaction, and only while the message is
// still parked where its marker says: one that an administrator restored meanwhile is left
// alone. The message is the event's own item, by identity, never whatever else stands at that
// URL.
void WhileParked(store::Record& record, const std::string& marker,
                 const std::function<void()>& work) {
  InTransaction(marker, [&] {
    if (text::EqualsNoCase(record.Url(), marker)) work();
  });
}

// A forward that cannot be finished: the message goes back into its mailbox's inbox, visible
// and unmarked, as if no rule had matched. Should even that fail, it stays parked, where
// "drossgate-platform parked ls" finds it.
void ReturnToInbox(store::Record& record, const std::string& marker) {
  const std::string mailboxUrl = marker.substr(0, marker.rfind('/'));
  const std::string inboxUrl = ValueOr(std::string(), [&] {
    auto root = store::OpenRecord(mailboxUrl, nullptr, store::Mode::kRead);
    return store::ValueText(root->GetFields().Get(names::kInboxName));
  });
  if (inboxUrl.empty()) return;
  // The parked name's GUID text keeps the name unique in the inbox.
  std::string name = marker.substr(marker.rfind('/') + 1);
  name = text::ReplaceAllNoCase(name, names::kRedirectSuffix, ".eml");
  WhileParked(record, marker, [&] {
    record.GetFields().Delete(names::kMarkerProperty);
    record.GetFields().Delete(names::kHiddenFlagName);
    record.GetFields().Update();
    record.MoveRecord("", inboxUrl + "/" + name, false);
  });
}

// The pickup file of a parked forward is named after the parked message (its delivery time
// and its id), so that this file and one made again from the parked message are one file.
std::string ParkedPickupFileName(store::Record& record) {
  const std::string created = FieldText(record, names::kCreationDateName);
  const std::string id = MailboxIdentity(FieldText(record, names::kPermanentUrl));
  std::tm utc{};
  if (!strptime(created.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc) || id.empty() ||
      id.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return {};
  return store::names::ForwardPickupFileName(timegm(&utc), std::stoll(id, nullptr, 16));
}

// Writes the parked message with its envelope into the pickup directory, or returns it to
// its inbox when the forward cannot be made. The parked message stays, with its marker: it is
// the forward's durable record until the pickup side has handed the forward on, and removes it
// in the transaction that does so. So the file needs no sync of its own; should a crash lose
// it, the pickup side makes it again from the parked message. Reads need no transaction: should
// an administrator restore the message meanwhile, the pickup side finds the file's message no
// longer parked and withdraws the file.
void ForwardParkedMessage(store::Record& record, const std::string& marker,
                          const std::string& recipient, const std::string& pickup) {
  const std::string sender = text::Trim(FieldText(record, names::kFromEmailName));
  const std::string fileName = ParkedPickupFileName(record);
  // Text from rules and headers must not add envelope lines of its own.
  if (pickup.empty() || fileName.empty() || sender.empty() || !IsSafeEnvelopeText(recipient) ||
      !IsSafeEnvelopeText(sender))
    return ReturnToInbox(record, marker);

  std::unique_ptr<store::Stream> stream;
  if (!SkipOnError([&] {
        auto message = store::CreateMessage();
        message->OpenDataSource(marker);
        stream = message->GetStream();
        const std::string source = stream->ReadText();
        stream->SetPosition(0);
        stream->WriteText("x-receiver: " + recipient + "\r\n" + "x-sender: " + sender + "\r\n" +
                          source);
      }))
    return ReturnToInbox(record, marker);
  bool written = false;
  try {
    stream->SaveToFile(pickup + "/" + fileName, store::SaveOption::kCreateNotExist, false);
    written = true;
  } catch (const platform::PlatformError& e) {
    // Made already (the pickup side made it again): it is this forward's own file.
    written = e.number() == platform::errors::kFileExists;
  }
  SkipOnError([&] { stream->Close(); });
  if (!written) ReturnToInbox(record, marker);
}

// In one store transaction: when the message is parked where its marker says, runs work (if
// any); otherwise undoes a parking that failed, whose marker is stale.
void CheckParked(store::Record& record, const std::string& itemUrl,
                 const std::function<void(const std::string& marker)>& whileParked) {
  InTransaction(itemUrl, [&] {
    const std::string marker = text::Trim(FieldText(record, names::kMarkerProperty));
    if (marker.empty()) return;
    if (!text::EqualsNoCase(record.Url(), marker)) return UndoParking(record);
    if (whileParked) whileParked(marker);
  });
}

// A parked delete is done in one transaction with the check that the message is still parked.
void FinishParkedDelete(store::Record& record, const std::string& itemUrl) {
  CheckParked(record, itemUrl, [&](const std::string&) { record.DeleteRecord(); });
}

// A parked forward's file is made on the clean-up thread: the delivery need not wait for a new
// file, and what it reports does not change, the message staying parked either way (unless the
// forward cannot be made, when it goes back to its inbox a moment later). That thread finds the
// message by its permanent URL, which no other item ever has, and reads it there.
void FinishParkedForward(store::Record& record, const std::string& itemUrl,
                         const std::string& action) {
  // Looked up here: the registry and the directory are not the clean-up thread's to use.
  std::string pickup = GetPickupDirFromShares();
  if (pickup.empty()) pickup = GetPickupDirFromDirectory();
  // Where the marker says the message was parked; one not there had its parking fail.
  auto forwardIfParked = [itemUrl, action, pickup](store::Record& parked) {
    const std::string marker = text::Trim(FieldText(parked, names::kMarkerProperty));
    if (marker.empty()) return;
    if (!text::EqualsNoCase(parked.Url(), marker)) return CheckParked(parked, itemUrl, nullptr);
    ForwardParkedMessage(parked, marker, action, pickup);
  };
  const std::string identity = FieldText(record, names::kPermanentUrl);
  if (identity.empty()) return forwardIfParked(record);
  RunOnCleanupThread([identity, forwardIfParked] {
    std::unique_ptr<store::Record> parked;
    SkipOnError([&] { parked = store::OpenRecord(identity, nullptr, store::Mode::kReadWrite); });
    if (!parked) return;  // left parked: the pickup side makes its file
    forwardIfParked(*parked);
    SkipOnError([&] { parked->Close(); });
  });
}

}  // namespace

int EvaluateRules(store::Record& record, SinkSettings& s, const std::function<void()>& prepare) {
  RecordFields fields(record);
  return common::rules::EvaluateRules(s, fields, prepare);
}

bool IsSafeEnvelopeText(std::string_view t) {
  return t.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool HandleBeginSave(com::IExStoreEventInfo* info, const std::string& itemUrl, int32_t flags) {
  SinkSettings& s = ThreadSettings();
  if (!IsEventForSink(flags)) return false;
  auto record = EventRecord(info);
  if (!record) return false;

  const MailboxNames mbx =
      DeriveMailboxNames(ValueOr(std::string(), [&] { return record->ParentUrl(); }));
  if (mbx.filePath.empty()) return false;

  // Every move rule's target folder is prepared, whether or not that rule matches.
  const int matched = EvaluateRules(*record, s, [&] {
    if (ClassifyAction(s.currentAction) != ActionKind::kMove) return;
    s.currentAction = ResolveInboxPath(mbx.url, s.currentAction);
    s.targetFolderUrl = TargetFolderUrl(mbx.url, s.currentAction);
    // A path of nothing but separators names no folder: such a rule moves nothing.
    if (s.targetFolderUrl.empty()) return;
    if (!platform::store::FileSystemFolderExists(mbx.filePath + s.currentAction))
      s.targetFolderUrl =
          CreateFolderPath(mbx.url, s.currentAction, "urn:content-classes:mailfolder", false);
  });
  if (matched < 0) return false;

  if (!text::Trim(FieldText(*record, names::kMarkerProperty)).empty()) {
    SkipOnError([&] {
      record->GetFields().Delete(names::kMarkerProperty);
      record->GetFields().Update();
    });
  }

  switch (ClassifyAction(s.currentAction)) {
    case ActionKind::kDelete:
      PerformDelete(*record, itemUrl, mbx);
      return true;
    case ActionKind::kForward:
      PerformForward(*record, itemUrl, mbx, s.currentAction);
      return true;
    case ActionKind::kSetScl:
      PerformSetScl(*record, s.currentAction);
      break;
    case ActionKind::kMove:
      PerformMove(*record, itemUrl, s);
      break;
  }
  return false;
}

void HandleCommittedSave(com::IExStoreEventInfo* info, const std::string& itemUrl, int32_t flags,
                         const std::string& action) {
  auto record = EventRecord(info);
  if (!IsEventForSink(flags) || !record) return;
  const ActionKind kind = ClassifyAction(action);
  if (kind == ActionKind::kDelete) FinishParkedDelete(*record, itemUrl);
  if (kind == ActionKind::kForward) FinishParkedForward(*record, itemUrl, action);
  SkipOnError([&] { record->Close(); });
}

}  // namespace drossgate::sink
