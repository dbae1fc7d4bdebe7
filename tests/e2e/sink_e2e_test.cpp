// The event sink end to end: the real Drossgate.so, installed in the catalog and registered
// on inboxes, called by the store's dispatcher for deliveries made by drossgate-platform.
// Nothing here links the sink; it is reached only through its ProgID.
#include <gtest/gtest.h>

#include "com/com.h"
#include "sink_root.h"

namespace drossgate::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string& kMbx = kMbxUrl;
const char* const kSclProp = "http://schemas.microsoft.com/mapi/proptag/0x40760003";

std::string Fixture(const std::string& name) {
  return ReadFile(SourceDir() / "tests" / "e2e" / "fixtures" / name);
}

std::string Now(const json& delivery) {
  return delivery["now"].is_null() ? "" : delivery["now"].get<std::string>();
}

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.rfind(prefix, 0) == 0;
}

class SinkEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.AddMailbox("alice");
    root_.AddMailbox("bob", "", "Posteingang");
    root_.AddMailbox("desk", "spamdesk@example.com");
  }
  // Installs rules registered on alice's inbox and delivers a fixture to her.
  json Filter(const std::string& rules, const std::string& fixture) {
    root_.Install(rules);
    root_.RegisterInbox("alice");
    return root_.Deliver("alice", Fixture(fixture));
  }
  json Show(const std::string& url) { return root_.Json({"show", url, "--json"})["properties"]; }

  TempDir dir_;
  SinkRoot root_{dir_.path() / "root"};
};

struct MoveCase {
  const char* name;
  const char* constructor;
  const char* fixture;
  const char* expectedFolder;  // below the mailbox root; "Inbox" when left alone
};

void PrintTo(const MoveCase& c, std::ostream* os) {
  *os << c.name;
}

class Moves : public SinkEndToEnd, public ::testing::WithParamInterface<MoveCase> {};

TEST_P(Moves, MessageEndsInItsFolder) {
  const MoveCase& c = GetParam();
  json d = Filter(c.constructor, c.fixture);
  EXPECT_TRUE(StartsWith(Now(d), kMbx + "alice/" + c.expectedFolder + "/")) << Now(d);
  EXPECT_EQ(root_.Tool({"cat", Now(d)}), Fixture(c.fixture));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Moves,
    ::testing::Values(
        MoveCase{"HeaderRuleMoves", "Inbox\\Spam\t\rX-Spam-Flag: YES\t\r65535", "spam-flagged.eml",
                 "Inbox/Spam"},
        MoveCase{"NoMatchStaysInInbox", "Junk\t\rX-Spam-Flag: YES\t\r65535", "ham.eml", "Inbox"},
        MoveCase{"FirstRuleWins", "First\tSecond\t\rX-Spam-Flag: YES\tSubject: You\t\r1",
                 "spam-flagged.eml", "First"},
        MoveCase{"ThreeCharacterSclIsAFolder", "+10\t\rX-Spam-Flag: YES\t\r1", "spam-flagged.eml",
                 "+10"},
        MoveCase{"AddressWithoutBracketsIsAFolder", "desk@example.com\t\rX-Spam-Flag: YES\t\r1",
                 "spam-flagged.eml", "desk@example.com"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SinkEndToEnd, UnmatchedMessageStillCreatesMoveFolders) {
  json d = Filter("Inbox\\Spam\tJunk/Low\t\rX-Absent: 1\tX-Other: 2\t\r1", "ham.eml");
  EXPECT_EQ(Now(d), d["delivered"].get<std::string>());
  root_.Tool({"ls", kMbx + "alice/Inbox/Spam"});
  EXPECT_EQ(
      Show(kMbx +
           "alice/Junk/Low")["http://schemas.microsoft.com/exchange/outlook/outlookfolderclass"],
      "IPF.Note");
}

TEST_F(SinkEndToEnd, ClientSaveIsLeftAlone) {
  root_.Install("Junk\t\rX-Spam-Flag: YES\t\r1");
  root_.RegisterInbox("alice");
  const fs::path file = dir_.path() / "client.eml";
  WriteFile(file, Fixture("spam-flagged.eml"));
  const std::string url = kMbx + "alice/Inbox/client.eml";
  root_.Tool({"save", url, file.string()});
  EXPECT_EQ(root_.Tool({"cat", url}), Fixture("spam-flagged.eml"));
}

TEST_F(SinkEndToEnd, GermanInboxNameResolvesInboxPath) {
  root_.Install("inbox\\Spam\t\rX-Spam-Flag: YES\t\r1");
  root_.RegisterInbox("bob", "Posteingang");
  json d = root_.Deliver("bob", Fixture("spam-flagged.eml"));
  EXPECT_TRUE(StartsWith(Now(d), kMbx + "bob/Posteingang/Spam/")) << Now(d);
}

TEST_F(SinkEndToEnd, DeleteRemovesTheMessageAndItsParkedItem) {
  root_.Tool(
      {"set", kMbx + "alice/~~deleteit.eml", "--create", "item", "--prop", "stale:text=yes"});
  json d = Filter("[NULL]\t\rX-Spam-Flag: YES\t\r1", "spam-flagged.eml");
  EXPECT_TRUE(d["now"].is_null()) << d.dump();
  for (const json& item : root_.Json({"ls", kMbx + "alice", "--json"}))
    EXPECT_NE(item["name"], "~~deleteit.eml");
}

TEST_F(SinkEndToEnd, SetSclWritesSignedNumber) {
  json spam = Filter("-1\t+5\t\rX-Spam-Flag: YES\tIMFSCL: {< 3}\t\r1", "spam-flagged.eml");
  EXPECT_EQ(Show(Now(spam))[kSclProp], -1);
  EXPECT_EQ(Show(Now(root_.Deliver("alice", Fixture("ham.eml"), 1)))[kSclProp], 5);
}

TEST_F(SinkEndToEnd, ForwardWritesEnvelopeAndSmtpDeliversIt) {
  json d = Filter("Spam Desk <spamdesk@example.com>\t\rX-Spam-Flag: YES\t\r1", "spam-flagged.eml");
  EXPECT_TRUE(d["now"].is_null()) << d.dump();
  auto files = root_.PickupFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(ReadFile(files[0]),
            "x-receiver: Spam Desk <spamdesk@example.com>\r\n"
            "x-sender: offers@bulk-deals.example.net\r\n" +
                Fixture("spam-flagged.eml"));
  root_.Tool({"smtp", "--once"});
  EXPECT_TRUE(root_.PickupFiles().empty());
  bool arrived = false;
  for (const json& item : root_.Json({"ls", kMbx + "desk/Inbox", "--json"}))
    arrived = arrived || root_.Tool({"cat", item["url"]}) == Fixture("spam-flagged.eml");
  EXPECT_TRUE(arrived);
}

TEST_F(SinkEndToEnd, ForwardKeepsEightBitBodyByteForByte) {
  Filter("Desk <spamdesk@example.com>\t\rX-Spam-Flag: YES\t\r1", "latin1-body.eml");
  auto files = root_.PickupFiles();
  ASSERT_EQ(files.size(), 1u);
  const std::string content = ReadFile(files[0]);
  EXPECT_EQ(content.substr(content.find("\r\nx-sender: hans@example.org\r\n") + 30),
            Fixture("latin1-body.eml"));
}

TEST_F(SinkEndToEnd, ForwardToOwnMailboxDoesNothing) {
  json d = Filter("Me <alice@example.com>\t\rX-Spam-Flag: YES\t\r1", "spam-flagged.eml");
  EXPECT_EQ(Now(d), d["delivered"].get<std::string>());
  EXPECT_TRUE(root_.PickupFiles().empty());
}

// What must happen when the message cannot be handed to the SMTP service: it stays in the
// mailbox root as a parked item, never lost.
struct ParkedCase {
  const char* name;
  const char* fixture;
  std::map<std::string, std::string> env;
  bool removePickup;
};

void PrintTo(const ParkedCase& c, std::ostream* os) {
  *os << c.name;
}

class Parked : public SinkEndToEnd, public ::testing::WithParamInterface<ParkedCase> {};

TEST_P(Parked, MessageStaysInParkedItem) {
  const ParkedCase& c = GetParam();
  root_.Install("Desk <spamdesk@example.com>\t\rX-Spam-Flag: YES\t\r1");
  root_.RegisterInbox("alice");
  if (c.removePickup) fs::remove_all(root_.pickup());
  json d = root_.Deliver("alice", Fixture(c.fixture), std::nullopt, c.env);
  ASSERT_FALSE(d["now"].is_null()) << d.dump();
  EXPECT_TRUE(Now(d).find("~~redirect.eml") != std::string::npos) << Now(d);
  EXPECT_EQ(root_.Tool({"cat", Now(d)}), Fixture(c.fixture));
  bool hidden = false;
  for (const json& item : root_.Json({"ls", kMbx + "alice", "--json"}))
    if (item["url"] == Now(d)) hidden = item["hidden"].get<bool>();
  EXPECT_TRUE(hidden);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Parked,
    ::testing::Values(ParkedCase{"NoSenderAddress", "no-sender.eml", {}, false},
                      ParkedCase{"PickupDirectoryMissing", "spam-flagged.eml", {}, true},
                      ParkedCase{"PickupWriteFails",
                                 "spam-flagged.eml",
                                 {{"DROSSGATE_FAULTS", "store.stream.save"}},
                                 false}),
    [](const auto& info) { return std::string(info.param.name); });

// Found: after the application was removed, object creation fell back to the class
// registration and an instance that was never constructed kept the thread's old rules.
TEST_F(SinkEndToEnd, UninstallStopsFiltering) {
  root_.Install("[Null]\t\rX-Spam-Flag: YES\t\r1");
  root_.RegisterInbox("alice");
  const std::string spam = Fixture("spam-flagged.eml");
  EXPECT_FALSE(platform::store::admin::Deliver("alice", spam).nowUrl);
  root_.Tool({"catalog", "uninstall", "--app", "Drossgate"});
  EXPECT_TRUE(platform::store::admin::Deliver("alice", spam).nowUrl);
  // Even a bare class registration made again gives an instance without rules.
  platform::com::Library::Load((BinaryDir() / "sink" / "Drossgate.so").string()).RegisterServer();
  EXPECT_TRUE(platform::store::admin::Deliver("alice", spam).nowUrl);
}

TEST_F(SinkEndToEnd, StoreWideRegistrationCoversEveryMailbox) {
  root_.Install("Junk\t\rX-Spam-Flag: YES\t\r1");
  root_.RegisterStoreWide();
  json d = root_.Deliver("bob", Fixture("spam-flagged.eml"));
  EXPECT_TRUE(StartsWith(Now(d), kMbx + "bob/Junk/")) << Now(d);
}

}  // namespace
}  // namespace drossgate::testing
