// The event dispatcher with the test sink library: which saves reach which sinks, in which
// order, with which flags, on which thread and instance, and what a sink can do to the save.
#include <cstdlib>
#include <sstream>
#include <thread>

#include "error.h"
#include "store_fixture.h"

namespace drossgate::platform::test {
namespace {

using nlohmann::json;

const std::string kSink = DROSSGATE_TESTSINK;
const std::string kEvents = "http://schemas.microsoft.com/exchange/events/";
constexpr int32_t kBegin = 0x01000000, kCommitted = 0x02000000, kAborted = 0x04000000;
constexpr int32_t kDelivered = 0x8, kFolder = 0x2;

struct Reg {
  std::string scope = "SHALLOW";
  std::string criteria = " WHERE \"DAV:ishidden\" = FALSE";
  std::optional<std::string> priority = "65535";
  std::string sinkClass = "DrossgateTest.Probe";
  std::string method = "onsyncsave";
  std::optional<store::Value> enabled = std::nullopt;
};

class StoreEventsTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    InstallTestSink(kSink);
  }

  static std::string Inbox() { return Alice() + "/Inbox"; }
  static void Mode(const std::string& mode) { setenv("DROSSGATE_TESTSINK_MODE", mode.c_str(), 1); }

  // Writes a registration item the way the setup program does.
  static std::string Register(const std::string& folder, const std::string& name, const Reg& r) {
    const std::string url = folder + "/" + name;
    auto rec = store::OpenRecord(url, nullptr, store::Mode::kReadWrite, store::kCreateOverwrite,
                                 store::kDelayFetchFields);
    auto& f = rec->GetFields();
    f.Set("DAV:contentclass", std::string("urn:content-class:storeeventreg"));
    f.Set(kEvents + "EventMethod", r.method);
    f.Set(kEvents + "SinkClass", r.sinkClass);
    f.Set(kEvents + "MatchScope", r.scope);
    f.Set(kEvents + "criteria", r.criteria);
    if (r.priority) f.Set(kEvents + "priority", *r.priority);
    if (r.enabled) f.Set(kEvents + "enabled", *r.enabled);
    f.Set("DAV:ishidden", true);
    f.Update();
    return url;
  }

  std::vector<json> Log(const std::string& event = "save") const { return log_.Lines(event); }
  std::vector<json> Phase(int32_t phase) const {
    std::vector<json> out;
    for (json& j : Log())
      if (j["flags"].get<int32_t>() & phase) out.push_back(std::move(j));
    return out;
  }
  void ClearLog() const { log_.Clear(); }

  static std::string Msg(const std::string& subject) {
    return "From: x@example.org\r\nSubject: " + subject + "\r\n\r\nbody\r\n";
  }

  TestSinkLog log_{root() / "sink.log"};
};

TEST_F(StoreEventsTest, ADeliveryCallsBeginThenCommittedOnOneThreadAndInstance) {
  Register(Inbox(), "Drossgate.reg", {});
  store::admin::DeliveryResult r;
  std::string deliveringThread;
  std::thread([&] {
    r = store::admin::Deliver("alice", Msg("first"));
    std::ostringstream id;
    id << std::this_thread::get_id();
    deliveringThread = id.str();
  }).join();
  auto saves = Log();
  ASSERT_EQ(saves.size(), 2u);
  EXPECT_EQ(saves[0]["flags"], kBegin | kDelivered);
  EXPECT_EQ(saves[1]["flags"], kCommitted | kDelivered);
  for (const json& s : saves) {
    EXPECT_EQ(s["url"], r.deliveredUrl);
    EXPECT_EQ(s["record"], r.deliveredUrl);
    EXPECT_EQ(s["thread"], deliveringThread);
    EXPECT_EQ(s["class"], "DrossgateTest.Probe");
  }
  EXPECT_EQ(saves[0]["instance"], saves[1]["instance"]);
}

TEST_F(StoreEventsTest, ScopesAndSettingsDecideWhichSavesAreCovered) {
  MakeFolder(Inbox() + "/Sub");
  MakeFolder(Inbox() + "/Sub/Deeper");
  const std::string inbox = Inbox(), global = system_.url + "/StoreEvents/GlobalEvents";
  struct Case {
    const char* name;
    std::string folder;
    Reg reg;
    std::string savedAt;
    bool covered;
    bool hidden = false;  // as the sink's parked items are
  };
  const std::vector<Case> cases = {
      {"shallow: its folder", inbox, {}, inbox + "/a.eml", true},
      {"deep: below", inbox, {.scope = "DEEP"}, inbox + "/Sub/Deeper/b.eml", true},
      {"deep: not beside", inbox, {.scope = "DEEP"}, Alice() + "/Drafts/b.eml", false},
      {"any: every mailbox", global, {.scope = "ANY"}, Bob() + "/Drafts/c.eml", true},
      {"unknown scope is not used", inbox, {.scope = "WIDE"}, inbox + "/e.eml", false},
      {"disabled", inbox, {.enabled = store::Value(false)}, inbox + "/g.eml", false},
      {"other event method", inbox, {.method = "onsyncdelete"}, inbox + "/h.eml", false},
      {"unparsable criteria",
       inbox,
       {.criteria = "WHERE \"DAV:ishidden\" = "},
       inbox + "/j.eml",
       false},
      {"class that does not exist", inbox, {.sinkClass = "No.Such.Class"}, inbox + "/k.eml", false},
      {"any, but a hidden item", global, {.scope = "ANY"}, inbox + "/l.eml", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string regUrl = Register(c.folder, "t.reg", c.reg);
    ClearLog();
    if (c.hidden)
      MakeItem(c.savedAt, {{"DAV:ishidden", true}});
    else
      store::admin::SaveItem(c.savedAt, Msg(c.name));
    auto begins = Phase(kBegin);
    ASSERT_EQ(begins.size(), c.covered ? 1u : 0u);
    if (c.covered) {
      EXPECT_EQ(begins[0]["url"], c.savedAt);
    }
    store::admin::Remove(regUrl);
  }
}

TEST_F(StoreEventsTest, SinksRunInPriorityOrderAndEachClassOnce) {
  Register(Inbox(), "probe-late.reg", {.priority = "10"});
  Register(Inbox(), "probe-early.reg", {.priority = "3"});
  Register(Inbox(), "decoy.reg", {.priority = "5", .sinkClass = "drossgatetest.Decoy"});
  ClearLog();
  store::admin::Deliver("alice", Msg("ordered"));
  auto begins = Phase(kBegin), committed = Phase(kCommitted);
  ASSERT_EQ(begins.size(), 2u);
  EXPECT_EQ(begins[0]["class"], "DrossgateTest.Probe");  // priority 3 beats the decoy's 5
  EXPECT_EQ(begins[1]["class"], "drossgatetest.Decoy");
  ASSERT_EQ(committed.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(committed[i]["class"], begins[i]["class"]);
    EXPECT_EQ(committed[i]["instance"], begins[i]["instance"]);
  }
}

TEST_F(StoreEventsTest, ARefusedRegistrationIsNotUsedUntilSavedAgain) {
  Mode("refuse");
  Register(Inbox(), "Drossgate.reg", {});
  ASSERT_EQ(Log("register").size(), 1u) << "the registration item is offered to the sink";
  EXPECT_EQ(Log("register")[0]["url"], Inbox() + "/Drossgate.reg");
  Mode("");
  store::admin::Deliver("alice", Msg("refused"));
  EXPECT_TRUE(Log().empty());

  Register(Inbox(), "Drossgate.reg", {});
  store::admin::Deliver("alice", Msg("accepted"));
  EXPECT_EQ(Phase(kBegin).size(), 1u);
}

// The sink filters deliveries only: client saves, folders and moves come without the flag.
TEST_F(StoreEventsTest, OnlyDeliveriesCarryTheDeliveredFlag) {
  Register(Inbox(), "Drossgate.reg", {});
  store::admin::SaveItem(Alice() + "/Drafts/m.eml", Msg("moved"));
  ClearLog();
  store::admin::Deliver("alice", Msg("delivered"));
  store::admin::SaveItem(Inbox() + "/saved.eml", Msg("saved"));
  MakeFolder(Inbox() + "/Folder");
  store::OpenRecord(Alice() + "/Drafts/m.eml", nullptr, store::Mode::kReadWrite)
      ->MoveRecord("", Inbox() + "/moved.eml", false);
  std::vector<std::pair<std::string, int32_t>> seen;
  for (const json& b : Phase(kBegin))
    seen.emplace_back(b["url"], b["flags"].get<int32_t>() & ~kBegin);
  const std::string inbox = Inbox() + "/";
  EXPECT_EQ(seen,
            (std::vector<std::pair<std::string, int32_t>>{{inbox + "delivered.EML", kDelivered},
                                                          {inbox + "saved.eml", 0},
                                                          {inbox + "Folder", kFolder},
                                                          {inbox + "moved.eml", 0}}));
}

// A failing sink never fails the save; a sink saving the event record raises no other event.
TEST_F(StoreEventsTest, ASinkThatFailsOrSavesTheRecordKeepsTheSave) {
  Register(Inbox(), "Drossgate.reg", {});
  for (const char* mode : {"fail", "hide"}) {
    SCOPED_TRACE(mode);
    ClearLog();
    Mode(mode);
    auto r = store::admin::Deliver("alice", Msg(mode));
    EXPECT_EQ(Prop(r.deliveredUrl, "DAV:ishidden"), store::Value(std::string(mode) == "hide"));
    EXPECT_EQ(Phase(kBegin).size(), 1u);
    EXPECT_EQ(Phase(kCommitted).size(), 1u);
  }
}

// Within an outer transaction the last phase waits for its end: aborted on a rollback, and
// committed without a record for an item removed meanwhile.
TEST_F(StoreEventsTest, AnOuterTransactionDecidesTheLastPhase) {
  Register(Inbox(), "Drossgate.reg", {});
  auto conn = Connect(Alice());
  conn->BeginTrans();
  auto r = store::admin::Deliver("alice", Msg("rolled back"));
  EXPECT_EQ(Phase(kBegin).size(), 1u);
  EXPECT_TRUE(Phase(kCommitted).empty()) << "the committed phase waits for the outer commit";
  conn->RollbackTrans();
  EXPECT_FALSE(Exists(r.deliveredUrl));
  auto aborted = Phase(kAborted);
  ASSERT_EQ(aborted.size(), 1u);
  EXPECT_EQ(aborted[0]["flags"], kAborted | kDelivered);
  EXPECT_EQ(aborted[0]["instance"], Phase(kBegin)[0]["instance"]);

  ClearLog();
  conn->BeginTrans();
  store::admin::Remove(store::admin::Deliver("alice", Msg("removed before commit")).deliveredUrl);
  conn->CommitTrans();
  auto committed = Phase(kCommitted);
  ASSERT_EQ(committed.size(), 1u);
  EXPECT_FALSE(committed[0].contains("record"));
}

TEST_F(StoreEventsTest, SavesMadeByASinkDispatchAndQueueBehindAndTheRecordFollowsTheMove) {
  Register(Inbox(), "Drossgate.reg", {});
  MakeFolder(Inbox() + "/Watched");
  Register(Inbox() + "/Watched", "Drossgate.reg", {.sinkClass = "drossgatetest.Decoy"});
  const std::string target = Inbox() + "/Watched/m.eml";
  Mode("move:" + target);
  ClearLog();
  auto r = store::admin::Deliver("alice", Msg("nested"));
  std::vector<std::pair<std::string, int32_t>> order;
  for (const json& s : Log()) order.emplace_back(s["class"], s["flags"].get<int32_t>());
  // The decoy, called for the move, finds the item at its target already.
  EXPECT_EQ(order, (std::vector<std::pair<std::string, int32_t>>{
                       {"drossgatetest.Decoy", kBegin},
                       {"DrossgateTest.Probe", kBegin | kDelivered},
                       {"DrossgateTest.Probe", kCommitted | kDelivered},
                       {"drossgatetest.Decoy", kCommitted}}));
  EXPECT_EQ(r.nowUrl, target);
  // The probe's event record follows the item its begin phase moved.
  EXPECT_EQ(Phase(kBegin)[1]["moved"], target);
  EXPECT_EQ(Phase(kCommitted)[0]["url"], r.deliveredUrl);
  EXPECT_EQ(Phase(kCommitted)[0]["record"], target);
  EXPECT_FALSE(Exists(r.deliveredUrl));
}

}  // namespace
}  // namespace drossgate::platform::test
