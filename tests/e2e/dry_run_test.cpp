// The setup program's dry run against the real thing: for each message, what
// "DrossgateSetup --test-message --json" predicts is what the installed sink then does when
// drossgate-platform delivers that message. And the input a dry run refuses, with its status.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include <nlohmann/json.hpp>

#include "sink_root.h"

namespace drossgate::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
const char* const kSclProp = "http://schemas.microsoft.com/mapi/proptag/0x40760003";

// Four rules, one of each action, so that where a message ends tells which rule matched; the
// move's target is below the inbox, whatever its name.
const std::string kRules =
    "inbox\\Spam\t+9\t[Null]\tDesk <spamdesk@example.com>\r"
    "Subject: [SPAM]\tX-Spam-Flag: YES\tIMFSCL: {> 8}\tX-Forward: yes\r1";

struct Message {
  const char* name;
  const char* mailbox;
  std::optional<int> scl;
  const char* source;
};

const Message kCorpus[] = {
    {"EncodedSubject", "alice", {}, "Subject: =?UTF-8?B?W1NQQU1dIEfDvG5zdGln?=\r\n\r\nbody\r\n"},
    {"FoldedSubject",
     "alice",
     {},
     "Subject: [SPAM]\r\n folded\r\nFrom: a@example.net\r\n\r\nb\r\n"},
    {"InboxPosteingang", "bob", {}, "From: a@example.net\nSubject: [SPAM] hallo\n\nb\n"},
    {"FoldedLineHidesNoHeader", "alice", {}, "X-Other: a\r\n X-Spam-Flag: YES\r\n\r\nb\r\n"},
    {"NoHeadersAtAll", "alice", {}, "\r\njust a body\r\n"},
    {"EmptySubjectFlagged", "alice", {}, "Subject:\r\nX-Spam-Flag: YES\r\n\r\nb\r\n"},
    {"EmptyFlag", "alice", {}, "X-Spam-Flag:\r\nSubject: hi\r\n\r\nb\r\n"},
    {"DuplicateLinesFirstCounts", "alice", {}, "X-Spam-Flag: NO\r\nX-Spam-Flag: YES\r\n\r\nb\r\n"},
    {"SclNine", "alice", 9, "Subject: hi\r\n\r\nb\r\n"},
    {"SclZero", "alice", 0, "Subject: hi\r\n\r\nb\r\n"},
    {"SclMinusOne", "alice", -1, "Subject: hi\r\n\r\nb\r\n"},
    {"ForwardedToDesk", "alice", {}, "From: a@example.net\r\nX-Forward: yes\r\n\r\nb\r\n"},
    {"ForwardWithoutSender", "alice", {}, "X-Forward: yes\r\n\r\nb\r\n"},
    {"NoForwardToOwnMailbox", "desk", 3, "From: a@example.net\r\nX-Forward: yes\r\n\r\nb\r\n"},
};

class DryRun : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.AddMailbox("alice");
    root_.AddMailbox("bob", "", "Posteingang");
    root_.AddMailbox("desk", "spamdesk@example.com");
    root_.Install(kRules);
    root_.RegisterInbox("alice");
    root_.RegisterInbox("bob", "Posteingang");
    root_.RegisterInbox("desk");
  }
  ProcessResult Setup(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), (BinaryDir() / "setup" / "DrossgateSetup").string());
    return RunProcess(arguments, {{"DROSSGATE_PLATFORM", root_.path().string()}});
  }
  fs::path Write(const std::string& name, const std::string& content) {
    WriteFile(dir_.path() / name, content);
    return dir_.path() / name;
  }

  // Where a delivery left the message: "inbox" and its SCL, "deleted", "forwarded" or "folder"
  // and its path below the mailbox.
  std::string Place(const json& delivery, const std::string& mailbox) {
    if (delivery["now"].is_null()) return "deleted";
    std::string now = delivery["now"];
    const std::string mailboxUrl = kMbxUrl + mailbox + "/";
    const std::string inbox = mailboxUrl + (mailbox == "bob" ? "Posteingang" : "Inbox");
    if (now.ends_with("~~redirect.eml")) {
      if (root_.Run({"show", now, "--json"}).exitCode == 0) return "forwarded";
      // A forward that cannot be made goes back to the inbox, under its parked name.
      now = inbox + now.substr(now.rfind('/'), now.size() - now.rfind('/') - 14) + ".eml";
    }
    const std::string parent = now.substr(0, now.rfind('/'));
    if (parent != inbox) return "folder " + parent.substr(mailboxUrl.size());
    const json scl = root_.Json({"show", now, "--json"})["properties"][kSclProp];
    return "inbox " + (scl.is_null() ? "null" : scl.dump());
  }
  static std::string Predicted(const json& p) {
    std::string place = p["place"];
    if (place == "folder") {
      std::string path = p["target"];
      std::replace(path.begin(), path.end(), '\\', '/');
      return "folder " + path;
    }
    return place == "inbox" ? "inbox " + p["scl"]["after"].dump() : place;
  }

  TempDir dir_;
  SinkRoot root_{dir_.path() / "root"};
};

TEST_F(DryRun, PredictsWhatTheDeliveryDoes) {
  for (const Message& m : kCorpus) {
    SCOPED_TRACE(m.name);
    const fs::path file = Write(std::string(m.name) + ".eml", m.source);
    std::vector<std::string> args = {"--test-message", file.string(), "--mailbox", m.mailbox,
                                     "--json"};
    if (m.scl) args.insert(args.end(), {"--scl", std::to_string(*m.scl)});
    const ProcessResult dry = Setup(args);
    ASSERT_EQ(dry.exitCode, 0) << dry.err;
    const json predicted = json::parse(dry.out);

    const json delivery = root_.Deliver(m.mailbox, m.source, m.scl);
    EXPECT_EQ(Predicted(predicted), Place(delivery, m.mailbox)) << dry.out;
  }
}

TEST_F(DryRun, RulesGivenAreTriedInsteadOfTheInstalledOnes) {
  const fs::path file = Write("m.eml", "Subject: hi\r\n\r\nb\r\n");
  const ProcessResult r = Setup({"--test-message", file.string(), "--rule", "Subject: h", "scl",
                                 "7", "--rule", "Subject: hi", "delete", "", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const json j = json::parse(r.out);
  EXPECT_EQ(j["rule"], 1);
  EXPECT_EQ(j["action"], "scl");
  EXPECT_EQ(j["target"], "+7");
}

// Changes the root or the file before the run; what it does to the root stays for later rows.
using Prepare = void (*)(SinkRoot& root, const fs::path& file);
void Uninstall(SinkRoot& root, const fs::path&) {
  root.Tool({"catalog", "uninstall", "--app", "Drossgate"});
}
void DamageCatalog(SinkRoot& root, const fs::path&) {
  WriteFile(root.path() / "catalog.db", "not a database");
}
void Enlarge(SinkRoot&, const fs::path& file) {
  fs::resize_file(file, (std::uintmax_t{50} << 20) + 1);
}

struct BadInput {
  const char* name;
  std::vector<std::string> arguments;  // after --test-message FILE
  std::optional<std::string> content;  // of FILE; none: no file
  int status;
  Prepare prepare = nullptr;
};

TEST_F(DryRun, BadInputIsRefusedWithItsStatus) {
  using namespace std::string_literals;
  const std::string plain = "Subject: a\r\n\r\nb\r\n";
  const BadInput cases[] = {
      {"UnknownMailbox", {"--mailbox", "nobody"}, plain, 1},
      {"MissingFile", {}, std::nullopt, 1},
      {"EmptyFile", {}, "", 1},
      {"BinaryFile", {}, "Subject: a\r\n\r\nb\0c"s, 1},
      {"OverFiftyMegabytes", {}, plain, 1, Enlarge},
      {"SclOutOfRange", {"--scl", "10"}, plain, 64},
      {"UnknownRuleAction", {"--rule", "Subject: a", "bounce", "x"}, plain, 64},
      {"WithInstall", {"--install"}, plain, 64},
      {"NothingInstalled", {}, plain, 1, Uninstall},
      {"DamagedCatalog", {}, plain, 3, DamageCatalog},
  };
  for (const BadInput& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = dir_.path() / (std::string(c.name) + ".eml");
    if (c.content) WriteFile(file, *c.content);
    if (c.prepare) c.prepare(root_, file);
    std::vector<std::string> args = {"--test-message", file.string()};
    args.insert(args.end(), c.arguments.begin(), c.arguments.end());
    const ProcessResult r = Setup(args);
    EXPECT_EQ(r.exitCode, c.status) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err, "");
  }
}

}  // namespace
}  // namespace drossgate::testing
