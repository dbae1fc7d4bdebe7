#pragma once
// How the sink decides on a delivered message, without the store: which of the message's
// fields a rule reads, whether the rule's pattern matches what it reads, the first matching
// rule, and the target of its action. The sink feeds it the delivered item's fields; the setup
// program's dry run feeds it a message file parsed as a delivery would, so that both decide
// alike. Nothing here fails or throws; a field that cannot be read counts as empty.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rules.h"

namespace drossgate::common::rules {

// The field of the delivered item a rule's header name reads: the decoded subject, the spam
// confidence level (as decimal text), or the transport header block (lines separated by CR LF).
enum class Field { kNone, kSubject, kScl, kHeaderBlock };
Field FieldOf(std::string_view headerName);

// A message's fields, each read when a rule first needs it; empty when absent.
class MessageFields {
 public:
  virtual std::string_view Read(Field field) = 0;

 protected:
  ~MessageFields() = default;
};

// What a rule's test read. value views the field's text (or the pattern, for a literal search).
struct Reading {
  Field field = Field::kNone;
  bool found = false;      // the field, or a line of that header name, has a value
  std::string_view value;  // the value tested, trimmed
  bool literal = false;    // the pattern named vbCrLf or vbTab: a search of the whole block
};

// The value of the first line named headerName in a header block (trimmed), or nullopt. A
// line beginning with a blank continues the one before it and is never taken for a header line.
std::optional<std::string_view> FirstHeaderValue(std::string_view block,
                                                 std::string_view headerName);
// The header-line test: the first line of that name has a value that satisfies the pattern.
bool HeaderLineTest(std::string_view block, std::string_view headerName, std::string_view pattern);

// The sink's test of one rule. pattern has its vbCrLf and vbTab turned into CR LF and TAB when it
// names them, as the sink leaves it; reading, when given, gets what was read.
bool TestRule(std::string_view headerName, std::string& pattern, MessageFields& message,
              Reading* reading = nullptr);

// The rules and the working values of an evaluation: the rule being evaluated, left on the
// matching rule (or the last one tested) afterwards.
struct RuleState : ParsedRules {
  std::string currentPattern;
  std::string targetFolderUrl;  // the move target prepared for the current rule
};

// The rules of a constructor string (common::rules::ParseConstructorString), with the working
// values the sink starts from.
RuleState RuleStateOf(std::string_view constructorString);

// Rules 0..lastRule in order, those with an action; returns the index of the first that
// matches, or -1. prepare, when given, runs for every rule with an action before it is tested.
int EvaluateRules(RuleState& state, MessageFields& message,
                  const std::function<void()>& prepare = {});

// --- Targets -----------------------------------------------------------------------------

// Names derived from an item's parent folder URL.
struct MailboxNames {
  std::string filePath;      // \\.\backofficestorage\DOMAIN\MBX\MAILBOX\ (final "\")
  std::string url;           // file://./backofficestorage/DOMAIN/MBX/MAILBOX
  std::string containerUrl;  // file://./backofficestorage/DOMAIN/MBX/
};
MailboxNames DeriveMailboxNames(const std::string& parentUrl);
// A move path beginning with "inbox" (any case) in a mailbox whose inbox is at inboxUrl:
// "inbox/Spam" becomes "Posteingang/Spam" for ".../Posteingang". Else the path unchanged.
std::string ResolveInboxName(const std::string& folderPath, std::string_view inboxUrl);
// mailboxUrl, then "/" and each non-empty segment of folderPath; empty when folderPath has no
// non-empty segment (it names no folder, and the mailbox root is not one to move into).
std::string TargetFolderUrl(const std::string& mailboxUrl, const std::string& folderPath);
// The address of a forward action: what stands in angle brackets around an "@", else the
// whole text; trimmed.
std::string RecipientAddress(std::string_view action);
// The text after the last "/-FlatUrlSpace-/" of a permanent URL, or the whole URL.
std::string MailboxIdentity(const std::string& permanentUrl);
// Whether a forward to the mailbox with recipientPermanentUrl goes back into the mailbox with
// ownPermanentUrl, which it never does.
bool IsOwnMailbox(const std::string& recipientPermanentUrl, const std::string& ownPermanentUrl);
// The level a set-SCL action writes ("+7" gives 7); nullopt when its second character is not a
// digit.
std::optional<int32_t> ActionScl(std::string_view action);

}  // namespace drossgate::common::rules
