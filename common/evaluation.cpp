#include "evaluation.h"

#include <utility>

#include "basParser.h"
#include "rules.h"
#include "text.h"

namespace drossgate::common::rules {

Field FieldOf(std::string_view headerName) {
  if (headerName.empty()) return Field::kNone;
  if (text::EqualsNoCase(headerName, "subject")) return Field::kSubject;
  if (text::EqualsNoCase(headerName, "IMFSCL")) return Field::kScl;
  return Field::kHeaderBlock;
}

std::optional<std::string_view> FirstHeaderValue(std::string_view block,
                                                 std::string_view headerName) {
  size_t start = 0;
  while (start <= block.size()) {
    size_t end = block.find("\r\n", start);
    if (end == std::string_view::npos) end = block.size();
    std::string_view line = block.substr(start, end - start);
    start = end + 2;
    const size_t colon = line.find(':');
    if (text::TrimView(line).empty() || colon == std::string_view::npos) continue;
    // A line beginning with a blank continues the one before it: a sender must not hide a
    // header line from the rules behind a folded line that looks like it.
    if (line[0] == ' ' || line[0] == '\t') continue;
    if (!text::EqualsNoCase(text::TrimView(line.substr(0, colon)), headerName)) continue;
    // Only the first line of that name counts.
    return text::TrimView(line.substr(colon + 1));
  }
  return std::nullopt;
}

bool HeaderLineTest(std::string_view block, std::string_view headerName, std::string_view pattern) {
  const std::optional<std::string_view> value = FirstHeaderValue(block, headerName);
  return value && !value->empty() && common::ConditionTest(*value, pattern);
}

bool TestRule(std::string_view headerName, std::string& pattern, MessageFields& message,
              Reading* reading) {
  Reading r;
  r.field = FieldOf(headerName);
  bool matches = false;
  if (r.field == Field::kSubject || r.field == Field::kScl) {
    r.value = text::TrimView(message.Read(r.field));
    r.found = !r.value.empty();
    matches = r.found && common::ConditionTest(r.value, pattern);
  } else if (r.field == Field::kHeaderBlock) {
    const std::string_view block = message.Read(Field::kHeaderBlock);
    if (!block.empty() &&
        (text::ContainsNoCase(pattern, "vbCrLf") || text::ContainsNoCase(pattern, "vbTab"))) {
      pattern = text::ReplaceAllNoCase(pattern, "vbCrLf", "\r\n");
      pattern = text::ReplaceAllNoCase(pattern, "vbTab", "\t");
      r.literal = r.found = true;
      r.value = block;
      // A literal search of the block, not tied to a line's start.
      std::string needle;
      needle.reserve(headerName.size() + 2 + pattern.size());
      needle.append(headerName).append(": ").append(pattern);
      matches = text::ContainsNoCase(block, needle);
    } else if (!block.empty()) {
      const std::optional<std::string_view> value = FirstHeaderValue(block, headerName);
      r.found = value && !value->empty();
      if (value) r.value = *value;
      matches = r.found && common::ConditionTest(r.value, pattern);
    }
  }
  if (reading) *reading = r;
  return matches;
}

RuleState RuleStateOf(std::string_view constructorString) {
  RuleState s;
  static_cast<ParsedRules&>(s) = ParseConstructorString(constructorString);
  return s;
}

int EvaluateRules(RuleState& s, MessageFields& message, const std::function<void()>& prepare) {
  for (int i = 0; i <= s.lastRule; ++i) {
    s.currentAction = s.actions[i];
    s.currentHeaderName = s.headerNames[i];
    s.currentPattern = s.patterns[i];
    if (s.currentAction.empty()) continue;
    if (prepare) prepare();
    if (TestRule(s.currentHeaderName, s.currentPattern, message)) return i;
  }
  return -1;
}

MailboxNames DeriveMailboxNames(const std::string& parentUrl) {
  MailboxNames n;
  std::string path = text::ReplaceAll(text::ReplaceAll(parentUrl, "/", "\\"), "file:", "");
  const size_t last = path.rfind('\\');
  if (last == std::string::npos) return n;
  n.filePath = path.substr(0, last + 1);
  n.url = "file:" + text::ReplaceAll(n.filePath.substr(0, n.filePath.size() - 1), "\\", "/");
  n.containerUrl = n.url.substr(0, n.url.rfind('/') + 1);
  return n;
}

std::string ResolveInboxName(const std::string& folderPath, std::string_view inboxUrl) {
  const size_t slash = folderPath.find('/');
  std::string_view first = std::string_view(folderPath).substr(0, slash);
  if (!text::EqualsNoCase(first, "inbox")) return folderPath;
  // A mailbox without an inbox URL keeps the name as written.
  if (const size_t last = inboxUrl.rfind('/'); last != std::string_view::npos)
    first = inboxUrl.substr(last + 1);
  std::string resolved(first);
  if (slash != std::string::npos) resolved.append(folderPath, slash);
  return resolved;
}

std::string TargetFolderUrl(const std::string& mailboxUrl, const std::string& folderPath) {
  std::string url = mailboxUrl;
  for (const std::string& segment : text::Split(folderPath, '/'))
    if (!segment.empty()) url += "/" + segment;
  return url.size() == mailboxUrl.size() ? std::string() : url;
}

std::string RecipientAddress(std::string_view action) {
  std::string_view address = action;
  const size_t lt = action.find('<');
  const size_t at = action.find('@');
  const size_t gt = action.find('>');
  if (lt != std::string_view::npos && at != std::string_view::npos &&
      gt != std::string_view::npos && at > lt && gt > at)
    address = action.substr(lt + 1, gt - lt - 1);
  // The pickup service trims the address too: untrimmed, the own-mailbox test would miss it.
  return text::Trim(address);
}

std::string MailboxIdentity(const std::string& permanentUrl) {
  const size_t at = text::RFindNoCase(permanentUrl, "/-FlatUrlSpace-/");
  return at == std::string::npos ? permanentUrl : permanentUrl.substr(at + 16);
}

bool IsOwnMailbox(const std::string& recipientPermanentUrl, const std::string& ownPermanentUrl) {
  const std::string identity = MailboxIdentity(recipientPermanentUrl);
  return !identity.empty() && text::EqualsNoCase(identity, MailboxIdentity(ownPermanentUrl));
}

std::optional<int32_t> ActionScl(std::string_view action) {
  // A sign and one character: anything but a digit after the sign is not a number to write.
  if (action.size() < 2 || action[1] < '0' || action[1] > '9') return std::nullopt;
  return (action[0] == '-' ? -1 : 1) * (action[1] - '0');
}

}  // namespace drossgate::common::rules
