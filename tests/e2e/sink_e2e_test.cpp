// The event sink end to end: the real Drossgate.so, installed in the catalog and registered
// on inboxes, called by the store's dispatcher for deliveries made by drossgate-platform.
// Nothing here links the sink; it is reached only through its ProgID.
#include <gtest/gtest.h>

#include <set>

#include <nlohmann/json.hpp>

#include "com/com.h"
#include "sink_root.h"

namespace drossgate::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string& kMbx = kMbxUrl;
const char* const kSclProp = "http://schemas.microsoft.com/mapi/proptag/0x40760003";

// Messages as a client's server hands them on: bare LF line ends, a folded header, a display
// name before the sender's address and an 8-bit body that a forward must keep byte for byte.
const std::string kSpam =
    "Received: from mx.bulk.example.net\n\tby mail1.example.com; Mon, 30 Nov 2026 08:12:44 +0100\n"
    "X-Spam-Flag: YES\nFrom: \"Deals Team\" <offers@bulk.example.net>\nTo: alice@example.com\n"
    "Subject: You have been selected\nContent-Type: text/plain; charset=iso-8859-1\n\n"
    "Sch\xF6ne Gr\xFC\xDF aus M\xFCnchen \xE0 bient\xF4t.\n";
const std::string kHam =
    "X-Spam-Flag: NO\nFrom: Bob Baker <bob@example.com>\nSubject: Minutes\n\nGr\xC3\xBC\xC3\x9F!\n";
const std::string kNoSender =
    "X-Spam-Flag: YES\nTo: undisclosed-recipients:;\nSubject: no sender\n\nBuy now.\n";

std::string Now(const json& delivery) {
  return delivery["now"].is_null() ? "" : delivery["now"].get<std::string>();
}

// Whether an item carries the sink's marker or is hidden.
bool MarkedOrHidden(const json& properties) {
  for (const auto& [name, value] : properties.items()) {
    if (name.find("Moved to") != std::string::npos) return true;
    if ((name == "DAV:ishidden" || name.find("x67aa000b") != std::string::npos) && value == true)
      return true;
  }
  return false;
}

class SinkEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.AddMailbox("alice");
    root_.AddMailbox("bob", "", "Posteingang");
    root_.AddMailbox("desk", "spamdesk@example.com");
  }
  // Installs rules registered on alice's inbox, and delivers a message to her. Another inbox
  // name (bob's Posteingang) is the setup program's end-to-end test's.
  void Filtering(const std::string& rules) {
    root_.Install(rules);
    root_.RegisterInbox("alice");
  }
  json Filter(const std::string& rules, const std::string& source) {
    Filtering(rules);
    return root_.Deliver("alice", source);
  }
  json Show(const std::string& url) { return root_.Json({"show", url, "--json"})["properties"]; }
  // The sources of the visible messages in a folder below the mailboxes; none may carry the
  // sink's marker.
  std::multiset<std::string> Visible(const std::string& folder) {
    std::multiset<std::string> sources;
    for (const json& item : root_.Json({"ls", kMbx + folder, "--json"})) {
      if (item["folder"] == true || item["hidden"] == true) continue;
      EXPECT_FALSE(MarkedOrHidden(Show(item["url"]))) << item["url"];
      sources.insert(root_.Tool({"cat", item["url"]}));
    }
    return sources;
  }

  TempDir dir_;
  SinkRoot root_{dir_.path() / "root"};
};

// One rule, as the setup program writes it: the action for messages with X-Spam-Flag: YES.
std::string OnSpamFlag(const std::string& action) {
  return action + "\t\rX-Spam-Flag: YES\t\r1";
}

struct MoveCase {
  const char* name;
  std::string rules;
  const std::string* source;
  const char* folder;  // below the mailbox root; "Inbox" when left alone
};

class Moves : public SinkEndToEnd, public ::testing::WithParamInterface<MoveCase> {};

TEST_P(Moves, MessageEndsInItsFolder) {
  const MoveCase& c = GetParam();
  json d = Filter(c.rules, *c.source);
  EXPECT_TRUE(Now(d).starts_with(kMbx + "alice/" + c.folder + "/")) << Now(d);
  EXPECT_EQ(root_.Tool({"cat", Now(d)}), *c.source);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Moves,
    ::testing::Values(
        MoveCase{"HeaderRuleMoves", OnSpamFlag("Inbox\\Spam"), &kSpam, "Inbox/Spam"},
        MoveCase{"NoMatchStaysInInbox", OnSpamFlag("Junk"), &kHam, "Inbox"},
        MoveCase{"FirstRuleWins", "First\tSecond\t\rX-Spam-Flag: YES\tSubject: You\t\r1", &kSpam,
                 "First"},
        MoveCase{"ThreeCharacterSclIsAFolder", OnSpamFlag("+10"), &kSpam, "+10"},
        MoveCase{"AddressWithoutBracketsIsAFolder", OnSpamFlag("desk@example.com"), &kSpam,
                 "desk@example.com"},
        // Found: a path of separators moved mail into the mailbox root, shown by no client.
        MoveCase{"PathOfSeparatorsMovesNothing", OnSpamFlag("/"), &kSpam, "Inbox"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SinkEndToEnd, UnmatchedMessageStillCreatesMoveFolders) {
  json d = Filter("Inbox\\Spam\tJunk/Low\t\rX-Absent: 1\tX-Other: 2\t\r1", kHam);
  EXPECT_EQ(Now(d), d["delivered"].get<std::string>());
  root_.Tool({"ls", kMbx + "alice/Inbox/Spam"});
  EXPECT_EQ(
      Show(kMbx +
           "alice/Junk/Low")["http://schemas.microsoft.com/exchange/outlook/outlookfolderclass"],
      "IPF.Note");
}

TEST_F(SinkEndToEnd, ClientSaveIsLeftAlone) {
  Filtering(OnSpamFlag("Junk"));
  const fs::path file = dir_.path() / "client.eml";
  WriteFile(file, kSpam);
  const std::string url = kMbx + "alice/Inbox/client.eml";
  root_.Tool({"save", url, file.string()});
  EXPECT_EQ(root_.Tool({"cat", url}), kSpam);
}

TEST_F(SinkEndToEnd, DeleteRemovesTheMessageAndItsParkedItem) {
  root_.Tool(
      {"set", kMbx + "alice/~~deleteit.eml", "--create", "item", "--prop", "stale:text=yes"});
  json d = Filter(OnSpamFlag("[NULL]"), kSpam);
  EXPECT_TRUE(d["now"].is_null()) << d.dump();
  for (const json& item : root_.Json({"ls", kMbx + "alice", "--json"}))
    EXPECT_NE(item["name"], "~~deleteit.eml");
}

TEST_F(SinkEndToEnd, SetSclWritesSignedNumber) {
  json spam = Filter("-1\t+5\t\rX-Spam-Flag: YES\tIMFSCL: {< 3}\t\r1", kSpam);
  EXPECT_EQ(Show(Now(spam))[kSclProp], -1);
  EXPECT_EQ(Show(Now(root_.Deliver("alice", kHam, 1)))[kSclProp], 5);
}

// Found: with a blank inside the brackets the own-mailbox test missed the address, the pickup
// service trimmed it, and the message cycled through the mailbox without end.
TEST_F(SinkEndToEnd, ForwardToOwnMailboxDoesNothing) {
  Filtering(OnSpamFlag("Me < alice@example.com >"));
  for (const char* mailbox : {"alice", "alice@example.com"}) {
    json d = root_.Deliver(mailbox, kSpam);
    EXPECT_EQ(Now(d), d["delivered"].get<std::string>());
  }
  EXPECT_TRUE(root_.PickupFiles().empty());
}

// A forward writes its pickup file, the owner's alone, and parks the message, which stays as the
// forward's record until the pickup service has handed the forward on: then it goes in the
// transaction that delivers the forward. A file lost in between (the sink does not sync it) is
// made again from it, a file cut short is read from it, and a forward the administrator
// restores is withdrawn.
struct ForwardRecordCase {
  const char* name;
  void (*between)(SinkRoot& root, const fs::path& file);
  bool forwarded;
};

class ForwardRecord : public SinkEndToEnd,
                      public ::testing::WithParamInterface<ForwardRecordCase> {};

TEST_P(ForwardRecord, TheParkedMessageDecides) {
  json machine = json::parse(ReadFile(root_.path() / "machine.json"));
  machine["pickup"]["remake_after"] = 0;
  WriteFile(root_.path() / "machine.json", machine.dump());
  json d = Filter(OnSpamFlag("Desk <spamdesk@example.com>"), kSpam);
  ASSERT_NE(Now(d).find("~~redirect.eml"), std::string::npos) << d.dump();
  ASSERT_EQ(root_.PickupFiles().size(), 1u);
  const fs::path file = root_.PickupFiles()[0];
  EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(ReadFile(file), kEnvelope + kSpam);
  GetParam().between(root_, file);
  root_.Tool({"smtp", "--once"});
  using Sources = std::multiset<std::string>;
  const bool forwarded = GetParam().forwarded;
  EXPECT_EQ(Visible("desk/Inbox"),
            forwarded ? Sources{"Delivered-To: spamdesk@example.com\n" + kSpam} : Sources{});
  EXPECT_EQ(Visible("alice/Inbox"), forwarded ? Sources{} : Sources{kSpam});
  EXPECT_EQ(root_.Json({"parked", "ls", "--json"}), json::array());
  EXPECT_TRUE(root_.PickupFiles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ForwardRecord,
    ::testing::Values(
        ForwardRecordCase{"HandedOnAsWritten", [](SinkRoot&, const fs::path&) {}, true},
        ForwardRecordCase{"FileLost", [](SinkRoot&, const fs::path& f) { fs::remove(f); }, true},
        ForwardRecordCase{
            "FileCutShort",
            [](SinkRoot&, const fs::path& f) { WriteFile(f, ReadFile(f).substr(0, 60)); }, true},
        ForwardRecordCase{"RestoredBeforeHandedOn",
                          [](SinkRoot& root, const fs::path&) {
                            root.Tool({"parked", "restore", "--all"});
                          },
                          false}),
    [](const auto& info) { return std::string(info.param.name); });

// A forward that cannot be handed to the SMTP service returns to the inbox, visible and
// unmarked, as if no rule had matched. Found: it stayed hidden in the mailbox root for good.
struct UnfinishedCase {
  const char* name;
  const std::string* source;
  std::map<std::string, std::string> env;
  bool removePickup;
};

class UnfinishedForward : public SinkEndToEnd,
                          public ::testing::WithParamInterface<UnfinishedCase> {};

TEST_P(UnfinishedForward, ReturnsToInbox) {
  const UnfinishedCase& c = GetParam();
  Filtering(OnSpamFlag("Desk <spamdesk@example.com>"));
  if (c.removePickup) fs::remove_all(root_.pickup());
  // A file that cannot be written is found out after the delivery has reported the message's
  // parked place; the message is back in the inbox once the delivering process has ended.
  json d = root_.Deliver("alice", *c.source, std::nullopt, c.env);
  EXPECT_EQ(Visible("alice/Inbox"), std::multiset<std::string>{*c.source}) << d.dump();
  EXPECT_EQ(root_.Json({"parked", "ls", "--json"}), json::array());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnfinishedForward,
    ::testing::Values(UnfinishedCase{"NoSenderAddress", &kNoSender, {}, false},
                      UnfinishedCase{"PickupDirectoryMissing", &kSpam, {}, true},
                      UnfinishedCase{"PickupWriteFails",
                                     &kSpam,
                                     {{"DROSSGATE_FAULTS", "store.stream.save"}},
                                     false}),
    [](const auto& info) { return std::string(info.param.name); });

// What a committed phase could not finish (here: its store steps fail, as when the process is
// killed between the phases) is listed and restored by the administrator.
TEST_F(SinkEndToEnd, ParkedMessagesAreListedAndRestored) {
  Filtering("[Null]\tDesk <spamdesk@example.com>\t\rSubject: drop\tSubject: report\t\r1");
  const std::string drop = "From: a@example.net\r\nSubject: drop\r\n\r\nx\r\n";
  const std::string report = "From: b@example.net\r\nSubject: report\r\n\r\ny\r\n";
  root_.Deliver("alice", drop, std::nullopt, {{"DROSSGATE_FAULTS", "store.commit@2"}});
  root_.Deliver("alice", report, std::nullopt,
                {{"DROSSGATE_FAULTS", "store.stream.save,store.record.move@2"}});
  std::map<std::string, std::string> parked;  // kind -> url
  for (const json& p : root_.Json({"parked", "ls", "--json"})) parked[p["kind"]] = p["url"];
  EXPECT_EQ(parked.size(), 2u);
  EXPECT_EQ(parked["delete"], kMbx + "alice/~~deleteit.eml");
  EXPECT_NE(parked["forward"].find("~~redirect.eml"), std::string::npos);

  root_.Tool({"parked", "restore", "--all"});
  EXPECT_EQ(root_.Json({"parked", "ls", "--json"}), json::array());
  EXPECT_EQ(Visible("alice/Inbox"), (std::multiset<std::string>{drop, report}));
  EXPECT_EQ(root_.Run({"parked", "restore", kMbx + "alice/Inbox"}).exitCode, 1);
}

// Found: a delete replaced a folder of the parked item's name, with the messages filed in it.
TEST_F(SinkEndToEnd, DeleteNeverReplacesAFolder) {
  Filtering("~~deleteit.eml\t[Null]\t\rSubject: keep\tX-Spam-Flag: YES\t\r1");
  const std::string keep = "From: a@example.net\r\nSubject: keep\r\n\r\nx\r\n";
  json kept = root_.Deliver("alice", keep);
  ASSERT_TRUE(Now(kept).starts_with(kMbx + "alice/~~deleteit.eml/")) << kept.dump();
  json spam = root_.Deliver("alice", kSpam);
  EXPECT_EQ(Now(spam), spam["delivered"].get<std::string>());
  EXPECT_EQ(Visible("alice/Inbox"), std::multiset<std::string>{kSpam});
  EXPECT_EQ(root_.Tool({"cat", Now(kept)}), keep);
}

// Two mailboxes forwarding to each other: the pickup service sees its own Delivered-To line
// and sets the message aside instead of delivering it round and round.
TEST_F(SinkEndToEnd, ForwardingLoopIsSetAside) {
  Filtering(
      "Alice <alice@example.com>\tBob <bob@example.com>\t\r"
      "Delivered-To: bob@example.com\tX-Spam-Flag: YES\t\r1");
  root_.RegisterInbox("bob", "Posteingang");
  root_.Deliver("alice", kSpam);
  for (int round = 0; round < 4; ++round) root_.Run({"smtp", "--once"});  // exits 3: set aside
  EXPECT_TRUE(root_.PickupFiles().empty());
  const std::vector<json> queue = JsonLines(root_.Tool({"queue", "ls", "--json"}));
  ASSERT_EQ(queue.size(), 1u) << root_.Tool({"queue", "ls"});
  EXPECT_NE(queue[0]["reason"].get<std::string>().find("mail forwarding loop for bob@example.com"),
            std::string::npos);
  EXPECT_TRUE(Visible("alice/Inbox").empty());
  EXPECT_TRUE(Visible("bob/Posteingang").empty());
}

// Found: after the application was removed, object creation fell back to the class
// registration and an instance that was never constructed kept the thread's old rules.
TEST_F(SinkEndToEnd, UninstallStopsFiltering) {
  Filtering(OnSpamFlag("[Null]"));
  EXPECT_FALSE(platform::store::admin::Deliver("alice", kSpam).nowUrl);
  root_.Tool({"catalog", "uninstall", "--app", "Drossgate"});
  EXPECT_TRUE(platform::store::admin::Deliver("alice", kSpam).nowUrl);
  // Even a bare class registration made again gives an instance without rules.
  platform::com::Library::Load((BinaryDir() / "sink" / "Drossgate.so").string()).RegisterServer();
  EXPECT_TRUE(platform::store::admin::Deliver("alice", kSpam).nowUrl);
}

}  // namespace
}  // namespace drossgate::testing
