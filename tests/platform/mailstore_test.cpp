// A mail client's view of a mailbox: UIDs on every path a message takes into a folder, what a
// client sees and may name, flags, and that its changes never look like deliveries to a sink.
#include <sqlite3.h>

#include <atomic>
#include <functional>
#include <set>
#include <thread>
#include <tuple>

#include "error.h"
#include "store/mailstore.h"
#include "store_fixture.h"

namespace drossgate::platform::test {
namespace {

using store::mail::FlagChange;
using store::mail::FolderState;
using store::mail::MailStore;

const std::string kEvents = "http://schemas.microsoft.com/exchange/events/";

std::string Msg(const std::string& subject) {
  return "From: x@example.org\r\nSubject: " + subject + "\r\n\r\nbody\r\n";
}

class MailStoreTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    alice = store::mail::OpenMailStore("alice");
  }
  FolderState State(const std::string& path, MailStore* m = nullptr) {
    auto state = (m ? m : alice.get())->Folder(path);
    EXPECT_TRUE(state) << path;
    return state.value_or(FolderState());
  }
  uint32_t Put(const std::string& folder, const std::vector<std::string>& flags = {}) {
    return alice->Append(folder, Msg("put"), flags, 0).second;
  }
  std::unique_ptr<MailStore> alice;
};

TEST_F(MailStoreTest, EveryPathIntoAFolderGivesTheNextUid) {
  alice->CreateFolder("Junk");
  const std::string junk = Alice() + "/Junk";
  const auto delivered = [] { return store::admin::Deliver("alice", Msg("d")).deliveredUrl; };
  struct Case {
    const char* name;
    std::string folder;
    std::function<void()> put;
  };
  const std::vector<Case> cases = {
      {"delivery", "Inbox", [&] { delivered(); }},
      {"the sink's MoveRecord", "Junk",
       [&] {
         auto rec = store::OpenRecord(delivered(), nullptr, store::Mode::kReadWrite);
         rec->MoveRecord("", junk + "/moved.eml", false);
       }},
      {"SaveItem", "Junk", [&] { store::admin::SaveItem(junk + "/saved.eml", Msg("s")); }},
      {"SaveItem over a message", "Junk",
       [&] { store::admin::SaveItem(junk + "/saved.eml", Msg("again")); }},
      {"Append", "Junk", [&] { Put("Junk"); }},
      {"Copy", "Junk", [&] { alice->Copy("Junk", {State("Junk").messages[0].uid}, "Junk"); }},
      {"Move", "Junk",
       [&] {
         delivered();
         alice->Move("Inbox", {State("Inbox").messages.back().uid}, "Junk");
       }},
      {"RestoreParked", "Inbox",
       [&] {
         store::admin::RestoreParked(store::admin::SaveItem(Alice() + "/~~deleteit.eml", Msg("p")));
       }},
  };
  for (const Case& c : cases) {
    const FolderState before = State(c.folder);
    c.put();
    const FolderState after = State(c.folder);
    EXPECT_EQ(after.uidValidity, before.uidValidity) << c.name;
    EXPECT_EQ(after.uidNext, before.uidNext + 1) << c.name;
    ASSERT_FALSE(after.messages.empty()) << c.name;
    EXPECT_EQ(after.messages.back().uid, before.uidNext) << c.name;
  }
}

TEST_F(MailStoreTest, AVersion3StoreGivesItsMessagesUidsInIdOrder) {
  for (const char* who : {"alice", "bob", "alice", "alice"}) store::admin::Deliver(who, Msg(who));
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((root() / "store.db").c_str(), &db), SQLITE_OK);
  EXPECT_EQ(
      sqlite3_exec(db,
                   "DROP TRIGGER folder_created; DROP TRIGGER folder_deleted;"
                   "DROP TRIGGER message_created; DROP TRIGGER message_moved;"
                   "DROP TRIGGER message_rewritten; DROP TRIGGER message_deleted;"
                   "DROP TRIGGER log_moved; DROP TRIGGER log_deleted; DROP TABLE delivery_log;"
                   "ALTER TABLE items DROP COLUMN log_seq;"
                   "DROP TABLE uids; DROP TABLE mail_folders;"
                   "DELETE FROM meta WHERE key = 'uid_validity';"
                   "UPDATE meta SET value = 3 WHERE key = 'schema';",
                   nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(db);
  std::thread([&] {  // a new session opens the file anew
    auto bob = store::mail::OpenMailStore("bob");
    std::vector<uint32_t> uids;
    for (const auto& m : State("Inbox").messages) uids.push_back(m.uid);
    EXPECT_EQ(uids, (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(State("Posteingang", bob.get()).uidNext, 2u);
    EXPECT_EQ(Put("Inbox"), 4u);
  })
      .join();
}

TEST_F(MailStoreTest, HiddenItemsAndRegistrationsAreNeverListed) {
  const std::string inbox = Alice() + "/Inbox";
  MakeItem(inbox + "/hidden.eml", {{"DAV:ishidden", true}});
  MakeItem(inbox + "/tagged.eml", {{"http://schemas.microsoft.com/mapi/proptag/0x67aa000b", 1}});
  MakeItem(inbox + "/x.reg",
           {{"DAV:contentclass", std::string("urn:content-class:storeeventreg")}});
  const uint32_t shown = Put("Inbox");
  const FolderState state = State("Inbox");
  ASSERT_EQ(state.messages.size(), 1u);
  EXPECT_EQ(state.messages[0].uid, shown);
  for (uint32_t uid = 1; uid < shown; ++uid)
    EXPECT_EQ(ErrorOf([&] { alice->Source("Inbox", uid); }), errors::kNotFound) << uid;
  EXPECT_EQ(alice->Copy("Inbox", {1, 2, 3}, "Drafts").uids.size(), 0u);
}

TEST_F(MailStoreTest, TheInboxKeepsItsOwnNameAndFoldersTheirSpecialUse) {
  auto bob = store::mail::OpenMailStore("bob@example.com");
  EXPECT_EQ(bob->InboxPath(), "Posteingang");
  store::admin::Deliver("bob", Msg("hallo"));
  EXPECT_EQ(State("posteingang", bob.get()).messages.size(), 1u);
  alice->CreateFolder("Inbox/Spam");
  alice->CreateFolder("Junk");
  std::string listed;  // in order: parents first, then by name
  for (const auto& f : alice->Folders()) {
    EXPECT_EQ(f.hasChildren, f.path == "Inbox") << f.path;
    listed += f.path + "=" + (f.isInbox ? "inbox" : f.specialUse) + ",";
  }
  EXPECT_EQ(
      listed,
      "Calendar=,Contacts=,Deleted Items=\\Trash,Drafts=\\Drafts,Inbox=inbox,Inbox/Spam=\\Junk,"
      "Journal=,Junk=\\Junk,Notes=,Outbox=,Sent Items=\\Sent,Tasks=,");
}

TEST_F(MailStoreTest, FlagsRoundTripAndExpungeTakesOnlyDeleted) {
  const uint32_t a = Put("Inbox", {"\\flagged", "$Label1", "\\Seen"}), b = Put("Inbox"),
                 c = Put("Inbox");
  EXPECT_EQ(State("Inbox").messages[0].flags,
            (std::vector<std::string>{"\\Seen", "\\Flagged", "$Label1"}));
  const std::string url = Alice() + "/Inbox/put.EML";  // the first of the three
  EXPECT_EQ(Prop(url, "urn:schemas:httpmail:read"), store::Value(true));
  using Flags = std::vector<std::string>;
  const std::vector<std::tuple<FlagChange, Flags, Flags>> cases = {
      {FlagChange::kAdd,
       {"\\Answered", "$label1", "Work"},
       {"\\Seen", "\\Answered", "\\Flagged", "$Label1", "Work"}},
      {FlagChange::kRemove, {"\\Seen", "$LABEL1"}, {"\\Answered", "\\Flagged", "Work"}},
      {FlagChange::kReplace, {"\\Draft", "\\Deleted"}, {"\\Deleted", "\\Draft"}},
  };
  for (const auto& [change, flags, after] : cases)
    EXPECT_EQ(alice->StoreFlags("Inbox", {a}, flags, change).at(0).flags, after);
  EXPECT_EQ(Prop(url, "urn:schemas:httpmail:read"), store::Value(false));
  EXPECT_EQ(ErrorOf([&] { alice->StoreFlags("Inbox", {a}, {"a b"}, FlagChange::kAdd); }),
            errors::kInvalidArg);
  alice->StoreFlags("Inbox", {c}, {"\\Deleted"}, FlagChange::kAdd);
  EXPECT_EQ(alice->Expunge("Inbox", std::vector<uint32_t>{b, c}), std::vector<uint32_t>{c});
  EXPECT_EQ(alice->Expunge("Inbox", std::nullopt), std::vector<uint32_t>{a});
  EXPECT_EQ(State("Inbox").messages.size(), 1u);
}

TEST_F(MailStoreTest, RenameKeepsUidsAndAFolderMadeAnewGetsANewUidValidity) {
  const uint64_t counter = alice->ChangeCounter();
  EXPECT_EQ(alice->ChangeCounter(), counter);
  alice->CreateFolder("Work/");
  EXPECT_NE(alice->ChangeCounter(), counter);
  const uint32_t uid = Put("Work");
  const FolderState before = State("Work");
  alice->RenameFolder("Work", "Archive/2026/Work");
  const FolderState after = State("archive/2026/work");
  EXPECT_EQ(after.uidValidity, before.uidValidity);
  EXPECT_EQ(after.messages.at(0).uid, uid);
  EXPECT_EQ(ErrorOf([&] { alice->RenameFolder("Archive", "Archive/2026/Work/x"); }),
            errors::kInvalidArg);
  alice->CreateFolder("Work");  // made anew under the old name, and once more
  const uint32_t second = State("Work").uidValidity;
  alice->DeleteFolder("Work");
  alice->CreateFolder("work");
  EXPECT_EQ(std::set<uint32_t>({0, before.uidValidity, second, State("Work").uidValidity}).size(),
            4u);
  Put("Inbox");
  alice->RenameFolder("Inbox", "Inbox/Old");
  EXPECT_EQ(State("Inbox").messages.size(), 0u);
  EXPECT_EQ(State("Inbox/Old").messages.size(), 1u);
  EXPECT_EQ(alice->InboxPath(), "Inbox");
}

TEST_F(MailStoreTest, FolderNamesThatCannotBeStoredAreRefused) {
  const size_t folders = alice->Folders().size();
  for (const char* path : {"", "/", "a//b", ".", "..", "Inbox/..", "../bob", "a\\b", "tab\there",
                           "line\nbreak", "-FlatUrlSpace-", "/Inbox"}) {
    EXPECT_EQ(ErrorOf([&] { alice->CreateFolder(path); }), errors::kInvalidArg) << path;
    EXPECT_EQ(ErrorOf([&] { alice->Folder(path); }), errors::kInvalidArg) << path;
  }
  EXPECT_EQ(alice->Folders().size(), folders);
  for (const char* path : {"Inbox", "Sent Items"})
    EXPECT_EQ(ErrorOf([&] { alice->DeleteFolder(path); }), errors::kInvalidArg) << path;
}

TEST_F(MailStoreTest, AClientsChangesReachASinkAsSavesNotDeliveries) {
  InstallTestSink(DROSSGATE_TESTSINK);
  TestSinkLog log(root() / "sink.log");
  alice->CreateFolder("Junk");
  MakeItem(Alice() + "/Junk/probe.reg",
           {{"DAV:contentclass", std::string("urn:content-class:storeeventreg")},
            {kEvents + "EventMethod", std::string("onsyncsave")},
            {kEvents + "SinkClass", std::string("DrossgateTest.Probe")},
            {"DAV:ishidden", true}});
  alice->Move("Inbox", {Put("Inbox")}, "Junk");
  alice->StoreFlags("Junk", {State("Junk").messages.at(0).uid}, {"\\Seen"}, FlagChange::kAdd);
  const auto saves = log.Lines("save");
  EXPECT_EQ(saves.size(), 4u);  // begin and committed, twice
  for (const auto& s : saves) EXPECT_EQ(s["flags"].get<int32_t>() & 0x8, 0);
  EXPECT_EQ(ErrorOf([&] { alice->DeleteFolder("Junk"); }), errors::kInvalidArg);
}

TEST_F(MailStoreTest, AppendsAndDeliveriesOfOtherProcessesNeverShareAUid) {
  const uint64_t counter = alice->ChangeCounter();
  const std::string file = (root() / "m.eml").string();
  testing::WriteFile(file, Msg("d"));
  std::vector<uint32_t> uids(30);
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&, t] {
      auto mine = store::mail::OpenMailStore("alice");
      for (int i = 0; i < 10; ++i) {
        if (i % 3 == 0 &&
            testing::RunPlatformTool(root(), {"deliver", "--to", "alice", file}).exitCode)
          ++failed;
        uids[t * 10 + i] = mine->Append("Inbox", Msg("a"), {}, 0).second;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failed, 0);
  EXPECT_NE(alice->ChangeCounter(), counter);
  EXPECT_EQ(std::set<uint32_t>(uids.begin(), uids.end()).size(), 30u);
  const FolderState state = State("Inbox");
  EXPECT_EQ(state.uidNext, 43u);  // 30 appended, 12 delivered
  EXPECT_EQ(state.messages.size(), 42u);
}

}  // namespace
}  // namespace drossgate::platform::test
