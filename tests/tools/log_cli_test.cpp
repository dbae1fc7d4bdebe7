// drossgate-platform log: each delivered message's history through the real sink, the pickup
// service and a mail client, as people and programs read it; following it, its retention, bad
// input.
#include <signal.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "sink_root.h"
#include "store/mailstore.h"

namespace drossgate::platform::test {
namespace {

using nlohmann::json;

struct Route {
  const char* name;
  const char* action;
  const char* history;  // the events of the message in alice's mailbox, then desk's if any
};

const Route kRoutes[] = {
    {"stay", nullptr, "delivered deliver"},
    {"move", "Routed", "delivered deliver, moved Routed"},
    {"scl", "+7", "delivered deliver, scl 7"},
    {"delete", "[Null]", "delivered deliver, parked delete, deleted "},
    {"forward", "Desk <desk@example.com>",
     "delivered deliver, parked forward, forwarded Desk <desk@example.com>; delivered pickup"},
};

class LogCli : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.emplace(dir_.path() / "root");
    root_->AddMailbox("alice");
    root_->AddMailbox("desk");
  }
  std::string Message(const std::string& route) {
    return "From: k@example.org\r\nSubject: " + route + "\r\nMessage-ID: <" + route +
           "@example.org>\r\nX-Route: " + route + "\r\n\r\nbody\r\n";
  }
  // Each mailbox's events of one message, as "event detail" joined by ", ", mailboxes by "; ".
  std::string History(const std::string& route) {
    std::vector<std::pair<std::string, std::string>> byMailbox;
    for (const json& e : testing::JsonLines(
             root_->Tool({"log", "--json", "--message-id", route + "@example.org"}))) {
      auto it = std::find_if(byMailbox.begin(), byMailbox.end(),
                             [&](const auto& m) { return m.first == e["mailbox"]; });
      if (it == byMailbox.end()) it = byMailbox.insert(it, {e["mailbox"], ""});
      it->second += (it->second.empty() ? "" : ", ") + e["event"].get<std::string>() + " " +
                    e["detail"].get<std::string>();
    }
    std::string out;
    for (const auto& [mailbox, events] : byMailbox) out += (out.empty() ? "" : "; ") + events;
    return out;
  }
  testing::TempDir dir_;
  std::optional<testing::SinkRoot> root_;
};

TEST_F(LogCli, EachMessageHasTheHistoryItsRuleMadeAndOneLineForPeople) {
  root_->Install(testing::RulesByHeader(kRoutes, "X-Route"));
  root_->RegisterInbox("alice");
  for (const Route& r : kRoutes) root_->Deliver("alice", Message(r.name));
  root_->Tool({"smtp", "--once"});
  for (const Route& r : kRoutes) EXPECT_EQ(History(r.name), r.history) << r.name;

  const std::string lines = root_->Tool({"log", "--mailbox", "ALICE", "--since", "1h"});
  EXPECT_NE(lines.find("Z alice <move@example.org> delivered via deliver from k@example.org (" +
                       std::to_string(Message("move").size()) + " bytes); moved to Routed\n"),
            std::string::npos)
      << lines;
  EXPECT_EQ(root_->Tool({"log", "--since", "2099-01-01T00:00:00+01:00"}), "");
  EXPECT_EQ(testing::JsonLines(root_->Tool({"log", "--json"}))[0].size(), 8u);  // with from, size
}

TEST_F(LogCli, AMailClientsMoveAndDeleteOfADeliveredMessageAreRecordedAndItsOwnMessagesNot) {
  namespace mail = store::mail;
  root_->Deliver("alice", Message("moved"));
  root_->Deliver("alice", Message("expunged"));
  auto alice = mail::OpenMailStore("alice");
  alice->Append("Inbox", Message("appended"), {}, 0);
  alice->CreateFolder("Inbox/Old");
  const auto inbox = alice->Folder("Inbox")->messages;  // in the order they came
  alice->Move("Inbox", {inbox[0].uid}, "Inbox/Old");
  alice->StoreFlags("Inbox", {inbox[1].uid, inbox[2].uid}, {"\\Deleted"}, mail::FlagChange::kAdd);
  alice->Expunge("Inbox", std::nullopt);
  EXPECT_EQ(History("moved"), "delivered deliver, moved Inbox/Old");
  EXPECT_EQ(History("expunged"), "delivered deliver, deleted ");
  EXPECT_EQ(History("appended"), "");
}

TEST_F(LogCli, FollowPrintsAnEventMadeAfterItStarted) {
  testing::Child follow = testing::StartProcess(
      {testing::PlatformTool().string(), "--root", root_->path().string(), "log", "--follow"});
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  root_->Deliver("alice", Message("later"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  int status = 0;
  const std::string out = testing::StopProcess(follow, SIGTERM, &status);
  EXPECT_NE(out.find("alice <later@example.org> delivered via deliver"), std::string::npos) << out;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(LogCli, PruneKeepsWhatALivingMessageNeedsAndZeroDaysRecordNothing) {
  const std::string gone = root_->Deliver("alice", Message("gone"))["now"];
  root_->Deliver("alice", Message("kept"));
  root_->Tool({"rm", gone});
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(root_->Json({"log", "prune", "--older-than", "0"})["removed"], 2);
  EXPECT_EQ(History("gone"), "");
  EXPECT_EQ(History("kept"), "delivered deliver");
  root_->Deliver("alice", Message("after"));  // numbered after the pruned, as a follower expects
  EXPECT_EQ(testing::JsonLines(root_->Tool({"log", "--json"})).back()["seq"], 4);

  json machine = json::parse(testing::ReadFile(root_->path() / "machine.json"));
  machine["log"]["retention_days"] = 0;
  testing::WriteFile(root_->path() / "machine.json", machine.dump());
  root_->Deliver("alice", Message("unlogged"));
  EXPECT_EQ(History("unlogged"), "");
}

// The log's first form found a message's delivered row by an index on the item; a store of
// that form is upgraded with every history still linked to its message.
TEST_F(LogCli, AStoreOfTheLogsFirstFormKeepsEveryHistoryGoing) {
  const std::string gone = root_->Deliver("alice", Message("gone"))["now"];
  root_->Deliver("alice", Message("kept"));
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((root_->path() / "store.db").c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db,
                         "DROP TRIGGER log_moved; DROP TRIGGER log_deleted;"
                         "ALTER TABLE items DROP COLUMN log_seq;"
                         "CREATE INDEX delivery_log_item ON delivery_log(item);"
                         "UPDATE meta SET value = 5 WHERE key = 'schema';",
                         nullptr, nullptr, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);
  root_->Tool({"rm", gone});
  root_->Deliver("alice", Message("new"));
  EXPECT_EQ(History("gone"), "delivered deliver, deleted ");
  EXPECT_EQ(History("kept"), "delivered deliver");
  EXPECT_EQ(testing::JsonLines(root_->Tool({"log", "--json"})).back()["seq"], 4);
}

TEST_F(LogCli, BadInputIsRefusedWithStatusTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {"log", "--since", "yesterday"}, {"log", "--since", "2026-13-01T00:00:00Z"},
      {"log", "--since", "1w"},        {"log", "prune", "--older-than", "-1"},
      {"log", "--no-such-option"},
  };
  for (const auto& args : cases) {
    const testing::ProcessResult r = root_->Run(args);
    EXPECT_EQ(r.exitCode, 2) << args.back();
    EXPECT_FALSE(r.err.empty()) << args.back();
  }
}

}  // namespace
}  // namespace drossgate::platform::test
