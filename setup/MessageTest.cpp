#include "MessageTest.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "ComPlus.h"
#include "Session.h"
#include "Unattended.h"
#include "error.h"
#include "evaluation.h"
#include "mailboxReads.h"
#include "rules.h"
#include "store/names.h"
#include "store/store.h"
#include "system/system.h"
#include "text.h"

namespace drossgate::setup {

namespace {

namespace fs = std::filesystem;
namespace rules = common::rules;
namespace store = platform::store;
using rules::ActionKind;
using rules::Field;
using Json = nlohmann::ordered_json;

constexpr const char* kProgram = "DrossgateSetup";
// Far above any mail a server accepts; a bigger file is not a message to try rules on.
constexpr std::uintmax_t kMaxMessageBytes = std::uintmax_t{50} << 20;

// Ends the run: the status and what err is told.
struct Stop {
  int status;
  std::string message;
};

class TextLog final : public ErrorLog {
 public:
  QString ErrorLogText() const override { return text_; }
  void SetErrorLogText(const QString& text) override { text_ = text; }

 private:
  QString text_;
};

void CheckUsage(const SetupOptions& o) {
  auto usage = [](const std::string& message) {
    return Stop{kExitUsage, message + "\nTry 'DrossgateSetup --help'."};
  };
  const MessageTestRequest& t = o.testMessage;
  if (!t.file) throw usage("--mailbox and --scl need --test-message");
  if (o.batchMode || o.testCondition || o.strict || AnyUnattendedOptionBesideRules(o.unattended))
    throw usage("--test-message goes only with --mailbox, --scl, --rule and --json");
  if (std::string message = CheckRuleOptions(o.unattended.rules); !message.empty())
    throw usage(message);
}

std::optional<int32_t> ParseScl(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  int32_t scl = 0;
  const char* end = text->data() + text->size();
  const auto [at, error] = std::from_chars(text->data(), end, scl);
  if (error != std::errc() || at != end || text->empty() || scl < -1 || scl > 9)
    throw Stop{kExitUsage, "--scl needs a whole number from -1 to 9, not '" + *text + "'"};
  return scl;
}

// The file's bytes, as a delivery of it would take them.
std::string ReadMessage(const std::string& file) {
  std::error_code error;
  const fs::file_status status = fs::status(file, error);
  if (!fs::exists(status)) throw Stop{kExitRefused, "no message file " + file};
  if (!fs::is_regular_file(status)) throw Stop{kExitRefused, file + " is not a message file"};
  const std::uintmax_t size = fs::file_size(file, error);
  if (!error && size > kMaxMessageBytes)
    throw Stop{kExitRefused, file + " is larger than 50 MB: not a message to deliver"};
  std::ifstream stream(file, std::ios::binary);
  if (!stream) throw Stop{kExitRefused, "cannot read " + file + ": " + std::strerror(errno)};
  std::string source{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  if (stream.bad()) throw Stop{kExitRefused, "cannot read " + file + ": " + std::strerror(errno)};
  if (source.empty()) throw Stop{kExitRefused, file + " is empty"};
  if (source.size() > kMaxMessageBytes)
    throw Stop{kExitRefused, file + " is larger than 50 MB: not a message to deliver"};
  if (source.find('\0') != std::string::npos)
    throw Stop{kExitRefused, file + " holds NUL bytes: it is no message text"};
  return source;
}

std::optional<store::admin::MailboxInfo> FindMailbox(const std::optional<std::string>& name) {
  if (!name) return std::nullopt;
  std::optional<store::admin::MailboxInfo> found;
  try {
    found = store::admin::FindMailbox(*name);
  } catch (const platform::PlatformError& error) {
    throw Stop{kExitRefused, "cannot look up the mailbox '" + *name + "': " + error.what()};
  }
  if (!found) throw Stop{kExitRefused, "no mailbox '" + *name + "' on this server"};
  return found;
}

// The constructor string the rules come from: the --rule options', else the installed one.
std::string ConstructorString(const SetupOptions& o) {
  if (!o.unattended.rules.empty()) {
    const rules::Build build =
        rules::FormatConstructorString(CommandLineRows(o.unattended.rules), "");
    if (!build.refusal.empty()) throw Stop{kExitRefused, build.refusal};
    return build.constructorString;
  }
  try {
    static_cast<void>(platform::PlatformRoot());
  } catch (const platform::PlatformError& error) {
    throw Stop{kExitRefused, error.what()};
  }
  TextLog log;
  const InstalledConfiguration installed = ReadComPlusConfiguration(log, kApplicationName);
  if (!installed.read)
    throw Stop{kExitDamaged, "the catalog cannot be read: " +
                                 text::Trim(WithoutLogTime(log.ErrorLogText().toStdString()))};
  if (!installed.found || installed.constructorString.empty())
    throw Stop{kExitRefused,
               "Drossgate is not installed with rules; give --rule options to try rules"};
  return installed.constructorString;
}

// What a delivery records of the message.
class DeliveredFields final : public rules::MessageFields {
 public:
  DeliveredFields(const store::ParsedMessage& message, std::optional<int32_t> scl)
      : message_(message), scl_(scl ? std::to_string(*scl) : std::string()) {}
  std::string_view Read(Field field) override {
    if (field == Field::kSubject) return message_.subject;
    if (field == Field::kScl) return scl_;
    if (field == Field::kHeaderBlock) return message_.headerBlock;
    return {};
  }

 private:
  const store::ParsedMessage& message_;
  std::string scl_;
};

const char* FieldName(Field field) {
  switch (field) {
    case Field::kSubject:
      return "subject";
    case Field::kScl:
      return "scl";
    case Field::kHeaderBlock:
      return "header";
    case Field::kNone:
      break;
  }
  return "none";
}

const char* ActionName(ActionKind kind) {
  static constexpr const char* kNames[] = {"move", "delete", "forward", "scl"};
  return kNames[static_cast<int>(kind)];
}

std::string Shown(std::string_view path) {
  return text::ReplaceAll(path, "/", "\\");
}

Json OptionalNumber(std::optional<int32_t> value) {
  return value ? Json(*value) : Json(nullptr);
}

struct Verdict {
  int rule = -1;
  std::string action = "none";
  std::string target;
  std::string place = "inbox";  // inbox, folder, deleted or forwarded
  std::string note;             // why a matching rule leaves the message in the inbox
  std::optional<bool> createsFolder;
  std::optional<int32_t> sclAfter;
};

Json Evaluate(const rules::RuleState& installed, const store::ParsedMessage& message,
              std::optional<int32_t> scl, const std::optional<store::admin::MailboxInfo>& mailbox,
              Verdict& verdict) {
  DeliveredFields fields(message, scl);
  // Each rule as the sink would test it, whether or not an earlier one matches.
  Json report = Json::array();
  for (int i = 0; i <= installed.lastRule; ++i) {
    // What a trailing TAB leaves is no rule.
    if (installed.actions[i].empty() && installed.headerNames[i].empty() &&
        installed.patterns[i].empty())
      continue;
    std::string pattern = installed.patterns[i];
    rules::Reading reading;
    const bool matches = rules::TestRule(installed.headerNames[i], pattern, fields, &reading);
    Json rule = {{"number", i + 1},
                 {"header", installed.headerNames[i]},
                 {"pattern", installed.patterns[i]},
                 {"action", installed.actions[i]},
                 {"tested", !installed.actions[i].empty()},
                 {"field", FieldName(reading.field)},
                 {"value", reading.found ? Json(std::string(reading.value)) : Json(nullptr)},
                 {"literal", reading.literal},
                 {"matches", matches && !installed.actions[i].empty()}};
    report.push_back(std::move(rule));
  }

  // The decision, as the sink's begin phase prepares and takes it.
  const rules::MailboxNames mbx = rules::DeriveMailboxNames(mailbox ? mailbox->inboxUrl : "");
  rules::RuleState s = installed;
  std::optional<bool> creates;
  verdict.rule = rules::EvaluateRules(s, fields, [&] {
    if (rules::ClassifyAction(s.currentAction) != ActionKind::kMove) return;
    if (mailbox) s.currentAction = rules::ResolveInboxName(s.currentAction, mailbox->inboxUrl);
    s.targetFolderUrl = rules::TargetFolderUrl(mbx.url, s.currentAction);
    creates.reset();
    if (mailbox && !s.targetFolderUrl.empty())
      creates = !store::FileSystemFolderExists(mbx.filePath + s.currentAction);
  });
  verdict.sclAfter = scl;
  if (verdict.rule < 0) return report;
  const ActionKind kind = rules::ClassifyAction(s.currentAction);
  verdict.action = ActionName(kind);
  switch (kind) {
    case ActionKind::kMove:
      verdict.target = Shown(s.currentAction);
      verdict.createsFolder = creates;
      if (s.targetFolderUrl.empty())
        verdict.note = "the path names no folder: the message stays in the inbox";
      else
        verdict.place = "folder";
      break;
    case ActionKind::kDelete:
      verdict.place = "deleted";
      break;
    case ActionKind::kForward: {
      verdict.target = rules::RecipientAddress(s.currentAction);
      if (mailbox && common::ForwardsToOwnMailbox(mbx.containerUrl, verdict.target, mbx.url))
        verdict.note = "not forwarded: the address is the mailbox's own";
      else if (text::Trim(message.fromEmail.value_or("")).empty())
        verdict.note = "not forwarded: the message has no sender address";
      else
        verdict.place = "forwarded";
      break;
    }
    case ActionKind::kSetScl:
      verdict.target = s.currentAction;
      if (const std::optional<int32_t> level = rules::ActionScl(s.currentAction))
        verdict.sclAfter = level;
      else
        verdict.note = "the SCL value is no digit: the level stays";
      break;
  }
  return report;
}

void PrintText(const Json& rulesReport, const Verdict& v, const Json& result, std::ostream& out) {
  for (const Json& rule : rulesReport) {
    out << "rule " << rule["number"].get<int>() << ": " << rule["header"].get<std::string>() << ": "
        << rule["pattern"].get<std::string>() << " => " << Shown(rule["action"].get<std::string>())
        << "\n  ";
    if (!rule["tested"].get<bool>()) {
      out << "not tested: the rule has no action\n";
      continue;
    }
    const std::string field = rule["field"];
    if (field == "none")
      out << "names no header: never matches";
    else if (rule["literal"].get<bool>())
      out << "searches the whole header block";
    else if (rule["value"].is_null())
      out << (field == "header" ? "header line missing or empty" : field + " missing or empty");
    else
      out << "reads \"" << rule["value"].get<std::string>() << "\"";
    out << (rule["matches"].get<bool>() ? ": matches\n" : ": does not match\n");
  }
  if (v.rule < 0) {
    out << "no rule matches: the message stays in the inbox\n";
  } else {
    out << "first match: rule " << v.rule + 1 << ", " << v.action;
    if (!v.target.empty()) out << " " << v.target;
    if (v.createsFolder)
      out << (*v.createsFolder ? " (the folder would be created)" : " (the folder exists)");
    out << "\n";
    if (!v.note.empty()) out << v.note << "\n";
  }
  const Json& scl = result["scl"];
  out << "SCL: " << (scl["before"].is_null() ? "none" : scl["before"].dump()) << " -> "
      << (scl["after"].is_null() ? "none" : scl["after"].dump()) << "\n";
}

}  // namespace

int RunMessageTest(const SetupOptions& options, std::ostream& out, std::ostream& err) {
  try {
    CheckUsage(options);
    const std::optional<int32_t> scl = ParseScl(options.testMessage.scl);
    const std::string source = ReadMessage(*options.testMessage.file);
    const std::optional<store::admin::MailboxInfo> mailbox =
        FindMailbox(options.testMessage.mailbox);
    const std::string constructorString = ConstructorString(options);

    const store::ParsedMessage message = store::admin::ParseForDelivery(source);
    Verdict verdict;
    const Json rulesReport =
        Evaluate(rules::RuleStateOf(constructorString), message, scl, mailbox, verdict);
    const std::vector<std::string> warnings = rules::ConstructorStringWarnings(constructorString);

    Json result = {
        {"rule", verdict.rule < 0 ? Json(nullptr) : Json(verdict.rule + 1)},
        {"action", verdict.action},
        {"target", verdict.target},
        {"place", verdict.place},
        {"note", verdict.note},
        {"createsFolder", verdict.createsFolder ? Json(*verdict.createsFolder) : Json(nullptr)},
        {"mailbox", mailbox ? Json(mailbox->alias) : Json(nullptr)},
        {"subject", message.subject},
        {"scl", {{"before", OptionalNumber(scl)}, {"after", OptionalNumber(verdict.sclAfter)}}},
        {"rules", rulesReport},
        {"warnings", warnings}};
    if (options.unattended.json) {
      out << result.dump(-1, ' ', false, Json::error_handler_t::replace) << std::endl;
    } else {
      PrintText(rulesReport, verdict, result, out);
      for (const std::string& w : warnings) err << "warning: " << w << "\n";
      out.flush();
    }
    return kExitDone;
  } catch (const Stop& stop) {
    err << kProgram << ": " << stop.message << std::endl;
    return stop.status;
  }
}

}  // namespace drossgate::setup
