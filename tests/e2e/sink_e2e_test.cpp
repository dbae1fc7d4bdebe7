// The event sink end to end: the real Drossgate.so, installed in the catalog and registered
// on inboxes, called by the store's dispatcher for deliveries made by drossgate-platform.
// Nothing here links the sink; it is reached only through its ProgID.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "testsupport.h"

namespace drossgate::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kMbx = "file://./backofficestorage/example.com/MBX/";
const std::string kEvents = "http://schemas.microsoft.com/exchange/events/";

class SinkEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.path() / "root";
    Tool({"init", "--domain", "example.com", "--computer", "MAIL1"});
    Tool({"mailbox", "add", "alice", "--address", "alice@example.com"});
    Tool({"mailbox", "add", "bob", "--address", "bob@example.com", "--inbox-name", "Posteingang"});
    Tool({"mailbox", "add", "desk", "--address", "spamdesk@example.com"});
  }

  std::string Tool(const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env = {}) {
    ProcessResult r = RunPlatformTool(root_, args, env);
    EXPECT_EQ(r.exitCode, 0) << "drossgate-platform " << args[0] << ": " << r.err;
    return r.out;
  }

  void Install(const std::string& constructorString) {
    const fs::path file = dir_.path() / "constructor.txt";
    WriteFile(file, constructorString);
    Tool({"catalog", "install", "--app", "Drossgate", "--dll",
          (BinaryDir() / "sink" / "Drossgate.so").string(), "--constructor-string-file",
          file.string()});
  }

  void Register(const std::string& folderUrl, const std::string& scope) {
    Tool({"set", folderUrl + "/Drossgate.reg", "--create", "item", "--prop",
          "DAV:contentclass=urn:content-class:storeeventreg", "--prop",
          kEvents + "EventMethod=onsyncsave", "--prop",
          kEvents + "SinkClass=Drossgate.DrossgateCls", "--prop", kEvents + "MatchScope=" + scope,
          "--prop", kEvents + "criteria= WHERE \"DAV:ishidden\" = FALSE", "--prop",
          kEvents + "priority=65535", "--prop", "DAV:ishidden:bool=true"});
  }

  void RegisterInbox(const std::string& mailbox, const std::string& inbox = "Inbox") {
    Register(kMbx + mailbox + "/" + inbox, "SHALLOW");
  }

  json Deliver(const std::string& mailbox, const std::string& source,
               std::optional<int> scl = std::nullopt,
               const std::map<std::string, std::string>& env = {}) {
    const fs::path file = dir_.path() / ("message-" + std::to_string(++count_) + ".eml");
    WriteFile(file, source);
    std::vector<std::string> args{"deliver", "--to", mailbox};
    if (scl) args.insert(args.end(), {"--scl", std::to_string(*scl)});
    args.push_back(file.string());
    return json::parse(Tool(args, env));
  }

  json DeliverFixture(const std::string& mailbox, const std::string& fixture) {
    return Deliver(mailbox, Fixture(fixture));
  }

  static std::string Fixture(const std::string& name) {
    return ReadFile(SourceDir() / "tests" / "e2e" / "fixtures" / name);
  }

  json List(const std::string& url) { return json::parse(Tool({"ls", url, "--json"})); }

  bool IsHidden(const std::string& folder, const std::string& url) {
    for (const json& item : List(folder))
      if (item["url"] == url) return item["hidden"].get<bool>();
    ADD_FAILURE() << url << " is not in " << folder;
    return false;
  }

  json Show(const std::string& url) {
    return json::parse(Tool({"show", url, "--json"}))["properties"];
  }

  std::vector<fs::path> PickupFiles() {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(root_ / "pickup"))
      if (e.is_regular_file() && e.path().extension() == ".eml") files.push_back(e.path());
    return files;
  }

  TempDir dir_;
  fs::path root_;
  int count_ = 0;
};

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.rfind(prefix, 0) == 0;
}

std::string Now(const json& delivery) {
  return delivery["now"].is_null() ? "" : delivery["now"].get<std::string>();
}

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
  Install(c.constructor);
  RegisterInbox("alice");
  json d = DeliverFixture("alice", c.fixture);
  const std::string folder = kMbx + "alice/" + c.expectedFolder + "/";
  EXPECT_TRUE(StartsWith(Now(d), folder)) << Now(d);
  EXPECT_EQ(Tool({"cat", Now(d)}), Fixture(c.fixture));
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
  Install("Inbox\\Spam\tJunk/Low\t\rX-Absent: 1\tX-Other: 2\t\r1");
  RegisterInbox("alice");
  json d = DeliverFixture("alice", "ham.eml");
  EXPECT_EQ(Now(d), d["delivered"].get<std::string>());
  Tool({"ls", kMbx + "alice/Inbox/Spam"});
  Tool({"ls", kMbx + "alice/Junk/Low"});
  json props = Show(kMbx + "alice/Junk/Low");
  EXPECT_EQ(props["http://schemas.microsoft.com/exchange/outlook/outlookfolderclass"], "IPF.Note");
}

TEST_F(SinkEndToEnd, ClientSaveIsLeftAlone) {
  Install("Junk\t\rX-Spam-Flag: YES\t\r1");
  RegisterInbox("alice");
  const fs::path file = dir_.path() / "client.eml";
  WriteFile(file, Fixture("spam-flagged.eml"));
  const std::string url = kMbx + "alice/Inbox/client.eml";
  Tool({"save", url, file.string()});
  EXPECT_EQ(Tool({"cat", url}), Fixture("spam-flagged.eml"));
}

TEST_F(SinkEndToEnd, GermanInboxNameResolvesInboxPath) {
  Install("inbox\\Spam\t\rX-Spam-Flag: YES\t\r1");
  RegisterInbox("bob", "Posteingang");
  json d = DeliverFixture("bob", "spam-flagged.eml");
  EXPECT_TRUE(StartsWith(Now(d), kMbx + "bob/Posteingang/Spam/")) << Now(d);
}

TEST_F(SinkEndToEnd, DeleteRemovesTheMessageAndItsParkedItem) {
  Tool({"set", kMbx + "alice/~~deleteit.eml", "--create", "item", "--prop", "stale:text=yes"});
  Install("[NULL]\t\rX-Spam-Flag: YES\t\r1");
  RegisterInbox("alice");
  json d = DeliverFixture("alice", "spam-flagged.eml");
  EXPECT_TRUE(d["now"].is_null()) << d.dump();
  for (const json& item : List(kMbx + "alice")) EXPECT_NE(item["name"], "~~deleteit.eml");
}

TEST_F(SinkEndToEnd, SetSclWritesSignedNumber) {
  Install("-1\t+5\t\rX-Spam-Flag: YES\tIMFSCL: {< 3}\t\r1");
  RegisterInbox("alice");
  json spam = DeliverFixture("alice", "spam-flagged.eml");
  EXPECT_EQ(Show(Now(spam))["http://schemas.microsoft.com/mapi/proptag/0x40760003"], -1);
  json ham = Deliver("alice", Fixture("ham.eml"), 1);
  EXPECT_EQ(Show(Now(ham))["http://schemas.microsoft.com/mapi/proptag/0x40760003"], 5);
}

TEST_F(SinkEndToEnd, ForwardWritesEnvelopeAndSmtpDeliversIt) {
  Install("Spam Desk <spamdesk@example.com>\t\rX-Spam-Flag: YES\t\r1");
  RegisterInbox("alice");
  json d = DeliverFixture("alice", "spam-flagged.eml");
  EXPECT_TRUE(d["now"].is_null()) << d.dump();
  auto files = PickupFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(ReadFile(files[0]),
            "x-receiver: Spam Desk <spamdesk@example.com>\r\n"
            "x-sender: offers@bulk-deals.example.net\r\n" +
                Fixture("spam-flagged.eml"));
  Tool({"smtp", "--once"});
  EXPECT_TRUE(PickupFiles().empty());
  bool arrived = false;
  for (const json& item : List(kMbx + "desk/Inbox"))
    arrived = arrived || Tool({"cat", item["url"]}) == Fixture("spam-flagged.eml");
  EXPECT_TRUE(arrived);
}

TEST_F(SinkEndToEnd, ForwardKeepsEightBitBodyByteForByte) {
  Install("Desk <spamdesk@example.com>\t\rX-Spam-Flag: YES\t\r1");
  RegisterInbox("alice");
  DeliverFixture("alice", "latin1-body.eml");
  auto files = PickupFiles();
  ASSERT_EQ(files.size(), 1u);
  const std::string content = ReadFile(files[0]);
  EXPECT_EQ(content.substr(content.find("\r\nx-sender: hans@example.org\r\n") + 30),
            Fixture("latin1-body.eml"));
}

TEST_F(SinkEndToEnd, ForwardToOwnMailboxDoesNothing) {
  Install("Me <alice@example.com>\t\rX-Spam-Flag: YES\t\r1");
  RegisterInbox("alice");
  json d = DeliverFixture("alice", "spam-flagged.eml");
  EXPECT_EQ(Now(d), d["delivered"].get<std::string>());
  EXPECT_TRUE(PickupFiles().empty());
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
  Install("Desk <spamdesk@example.com>\t\rX-Spam-Flag: YES\t\r1");
  RegisterInbox("alice");
  if (c.removePickup) fs::remove_all(root_ / "pickup");
  json d = Deliver("alice", Fixture(c.fixture), std::nullopt, c.env);
  ASSERT_FALSE(d["now"].is_null()) << d.dump();
  EXPECT_TRUE(Now(d).find("~~redirect.eml") != std::string::npos) << Now(d);
  EXPECT_EQ(Tool({"cat", Now(d)}), Fixture(c.fixture));
  EXPECT_TRUE(IsHidden(kMbx + "alice", Now(d)));
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

TEST_F(SinkEndToEnd, StoreWideRegistrationCoversEveryMailbox) {
  Install("Junk\t\rX-Spam-Flag: YES\t\r1");
  std::string systemMailbox;
  for (const json& item : List(kMbx.substr(0, kMbx.size() - 1))) {
    const std::string name = item["name"];
    if (name.rfind("SystemMailbox{", 0) == 0) systemMailbox = name;
  }
  ASSERT_FALSE(systemMailbox.empty());
  Register(kMbx + systemMailbox + "/StoreEvents/GlobalEvents", "ANY");
  json d = DeliverFixture("bob", "spam-flagged.eml");
  EXPECT_TRUE(StartsWith(Now(d), kMbx + "bob/Junk/")) << Now(d);
}

}  // namespace
}  // namespace drossgate::testing
