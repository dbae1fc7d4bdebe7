// Records, fields, moves, deletes, transactions, streams and the message object.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <tuple>

#include "error.h"
#include "fault.h"
#include "store_fixture.h"

namespace drossgate::platform::test {
namespace {

using store::Mode;
using store::Value;

class StoreRecordTest : public StoreTest {
 protected:
  std::string Inbox() const { return Alice() + "/Inbox"; }
};

TEST_F(StoreRecordTest, PropertyNamesMeetTheirAliases) {
  const std::string pub =
      "http://schemas.microsoft.com/mapi/string/{00020329-0000-0000-C000-000000000046}/";
  const std::string tag = "http://schemas.microsoft.com/mapi/proptag/";
  const std::tuple<const char*, std::string, std::string, bool> cases[] = {
      {"plain name and its public-strings name", "Moved to", pub + "Moved to", true},
      {"plain names ignore case", "moved TO", "Moved to", true},
      {"hidden tag and DAV:ishidden", tag + "x67aa000b", "DAV:ishidden", true},
      {"hidden tag with 0x, upper case", tag + "0x67AA000B", "DAV:ishidden", true},
      {"DAV names ignore case", "DAV:ishidden", "dav:IsHidden", true},
      {"a plain name is not another namespace's", "Moved to", "urn:schemas:httpmail:Moved to",
       false},
      {"other tag", tag + "x67aa000b", tag + "x67aa000c", false},
  };
  int n = 0;
  for (const auto& [name, written, read, same] : cases) {
    SCOPED_TRACE(name);
    const std::string url = Inbox() + "/alias" + std::to_string(n++) + ".eml";
    auto rec = store::OpenRecord(url, nullptr, Mode::kReadWrite, store::kCreateNonCollection);
    rec->GetFields().Append(written, store::kFieldTypeText, 256, -1, std::string("v"));
    rec->GetFields().Update();
    auto again = store::OpenRecord(url, nullptr, Mode::kRead);
    EXPECT_EQ(again->GetFields().Has(read), same);
    if (same) {
      EXPECT_EQ(store::ValueText(again->GetFields().Get(read)), "v");
    }
  }
}

TEST_F(StoreRecordTest, FieldsKeepTypesAndChangeOnlyAtUpdate) {
  const std::string url = Inbox() + "/typed.eml";
  MakeItem(url, {{"urn:x:bool", true},
                 {"urn:x:int", int32_t{-7}},
                 {"urn:x:text", std::string(" a=b ")},
                 {"urn:x:null", Value{}}});
  auto rec = store::OpenRecord(url, nullptr, Mode::kReadWrite);
  auto& f = rec->GetFields();
  EXPECT_EQ(f.Get("urn:x:bool"), Value(true));
  EXPECT_EQ(f.Get("urn:x:int"), Value(int32_t{-7}));
  EXPECT_EQ(f.Get("urn:x:text"), Value(std::string(" a=b ")));
  EXPECT_TRUE(f.Has("urn:x:null"));
  EXPECT_EQ(store::ValueText(f.Get("urn:x:null")), "");
  EXPECT_EQ(f.Get("DAV:ishidden"), Value(false));  // unset reads as false

  f.Delete("urn:x:int");
  f.Set("urn:x:text", std::string("new"));
  EXPECT_FALSE(f.Has("urn:x:int"));
  EXPECT_EQ(Prop(url, "urn:x:int"), Value(int32_t{-7})) << "a delete is pending until Update";
  EXPECT_EQ(Prop(url, "urn:x:text"), Value(std::string(" a=b ")));
  f.Update();
  EXPECT_EQ(ErrorOf([&] { Prop(url, "urn:x:int"); }), errors::kFieldMissing);
  EXPECT_EQ(Prop(url, "urn:x:text"), Value(std::string("new")));
  EXPECT_EQ(ErrorOf([&] { f.Get("urn:x:int"); }), errors::kFieldMissing);
}

TEST_F(StoreRecordTest, OpenFollowsTheCreateOptions) {
  enum Pre { kNothing, kItem, kFolder };
  struct Case {
    const char* name;
    std::string path;  // below alice's inbox
    int32_t options;
    Pre pre;
    int32_t error;  // 0: opens
    bool folderAfterOpen;
  };
  const std::vector<Case> cases = {
      {"absent, fail if not exists", "a", store::kFailIfNotExists, kNothing, errors::kNotFound,
       false},
      {"create folder", "c", store::kCreateCollection, kNothing, 0, true},
      {"create folder over a folder", "d", store::kCreateCollection, kFolder,
       errors::kAlreadyExists, true},
      {"create item", "h", store::kCreateNonCollection, kNothing, 0, false},
      {"overwrite an item", "j", store::kCreateOverwrite, kItem, 0, false},
      {"overwrite a folder", "k", store::kCreateOverwrite, kFolder, errors::kAlreadyExists, true},
      {"create below an item", "h/x", store::kCreateNonCollection, kNothing, errors::kNotFound,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string url = Inbox() + "/" + c.path;
    if (c.pre == kItem && !Exists(url)) MakeItem(url, {{"urn:x:old", std::string("old")}});
    if (c.pre == kFolder) MakeFolder(url);
    int32_t error = ErrorOf([&] {
      auto rec = store::OpenRecord(url, nullptr, Mode::kReadWrite, c.options);
      if (c.options == store::kCreateOverwrite) {
        EXPECT_FALSE(rec->GetFields().Has("urn:x:old"));
      }
    });
    EXPECT_EQ(error, c.error);
    if (c.folderAfterOpen) {
      EXPECT_TRUE(store::OpenRecord(url, nullptr, Mode::kRead)->IsCollection());
    }
  }
  EXPECT_EQ(ErrorOf([] { MakeFolder(kMbx + "/newmailbox"); }), errors::kNotFound) << "no mailbox";
}

TEST_F(StoreRecordTest, MoveReplacesOnlyWithOverwrite) {
  MakeItem(Inbox() + "/a.eml", {{"urn:x:who", std::string("a")}});
  MakeItem(Inbox() + "/b.eml", {{"urn:x:who", std::string("b")}});
  auto rec = store::OpenRecord(Inbox() + "/a.eml", nullptr, Mode::kReadWrite);
  EXPECT_EQ(ErrorOf([&] { rec->MoveRecord(Inbox() + "/a.eml", Inbox() + "/b.eml", false); }),
            errors::kAlreadyExists);
  EXPECT_EQ(Prop(Inbox() + "/b.eml", "urn:x:who"), Value(std::string("b")));

  EXPECT_EQ(rec->MoveRecord(Inbox() + "/a.eml", Inbox() + "/B.EML", true), Inbox() + "/B.EML");
  EXPECT_FALSE(Exists(Inbox() + "/a.eml"));
  EXPECT_EQ(Prop(Inbox() + "/b.eml", "urn:x:who"), Value(std::string("a")));
  EXPECT_EQ(rec->Url(), Inbox() + "/B.EML");
  // Found: a delete parked over a folder of that name removed the folder and its messages.
  MakeFolder(Inbox() + "/Filed");
  MakeItem(Inbox() + "/Filed/m.eml");
  EXPECT_EQ(ErrorOf([&] { rec->MoveRecord("", Inbox() + "/Filed", true); }), errors::kAccessDenied);
  EXPECT_TRUE(Exists(Inbox() + "/Filed/m.eml"));
}

// Found with one delivery process per message: a record whose item was deleted by another
// process then acted on a new message that had been given the same id.
TEST_F(StoreRecordTest, ARecordNeverActsOnAnItemMadeAfterItsOwnWasDeleted) {
  MakeItem(Inbox() + "/old.eml");
  auto stale = store::OpenRecord(Inbox() + "/old.eml", nullptr, Mode::kReadWrite);
  store::admin::Remove(Inbox() + "/old.eml");
  const std::string fresh = store::admin::Deliver("alice", "Subject: fresh\r\n\r\n").deliveredUrl;
  EXPECT_EQ(ErrorOf([&] { stale->DeleteRecord(); }), errors::kNotFound);
  EXPECT_EQ(ErrorOf([&] { stale->MoveRecord("", Inbox() + "/moved.eml", false); }),
            errors::kNotFound);
  EXPECT_TRUE(Exists(fresh));
}

TEST_F(StoreRecordTest, MovingAFolderTakesItsContentAndNeverIntoItself) {
  MakeFolder(Inbox() + "/F");
  MakeFolder(Inbox() + "/F/G");
  MakeItem(Inbox() + "/F/G/m.eml", {{"urn:x:k", std::string("v")}});
  auto folder = store::OpenRecord(Inbox() + "/F", nullptr, Mode::kReadWrite);
  EXPECT_EQ(ErrorOf([&] { folder->MoveRecord("", Inbox() + "/F/G/F", false); }),
            errors::kInvalidArg);
  EXPECT_EQ(ErrorOf([&] { folder->MoveRecord(Alice(), Inbox() + "/x", false); }),
            errors::kAccessDenied);

  folder->MoveRecord("", Alice() + "/Drafts/F2", false);
  EXPECT_EQ(Prop(Alice() + "/Drafts/F2/G/m.eml", "urn:x:k"), Value(std::string("v")));
  EXPECT_FALSE(Exists(Inbox() + "/F"));
  // Into another mailbox: the content then belongs to that mailbox.
  folder->MoveRecord("", Bob() + "/F3", false);
  const std::string permanent = store::ValueText(
      Prop(Bob() + "/F3/G/m.eml", "http://schemas.microsoft.com/exchange/permanenturl"));
  EXPECT_EQ(permanent.rfind(Bob() + "/-FlatUrlSpace-/", 0), 0u) << permanent;
}

TEST_F(StoreRecordTest, DeleteRemovesAFolderWithItsContent) {
  MakeFolder(Inbox() + "/D");
  MakeItem(Inbox() + "/D/x.eml");
  auto rec = store::OpenRecord(Inbox() + "/D/x.eml", nullptr, Mode::kReadWrite);
  rec->DeleteRecord(Inbox() + "/D");
  EXPECT_FALSE(Exists(Inbox() + "/D"));
  EXPECT_EQ(ErrorOf([&] { rec->GetFields().Get("DAV:href"); }), errors::kNotFound);
  EXPECT_EQ(ErrorOf([&] { rec->DeleteRecord(Alice()); }), errors::kAccessDenied);
  EXPECT_EQ(ErrorOf([&] { store::admin::Remove(kMbx); }), errors::kAccessDenied);
  EXPECT_TRUE(Exists(Alice()));
}

TEST_F(StoreRecordTest, TransactionsCommitRollBackAndRollBackOnClose) {
  auto conn = Connect(Alice());
  conn->BeginTrans();
  MakeItem(Inbox() + "/kept.eml");
  conn->CommitTrans();
  EXPECT_TRUE(Exists(Inbox() + "/kept.eml"));

  conn->BeginTrans();
  MakeItem(Inbox() + "/undone.eml");
  EXPECT_TRUE(Exists(Inbox() + "/undone.eml")) << "the thread sees its own transaction";
  conn->RollbackTrans();
  EXPECT_FALSE(Exists(Inbox() + "/undone.eml"));

  conn->BeginTrans();
  MakeItem(Inbox() + "/closed.eml");
  conn->Close();
  EXPECT_FALSE(Exists(Inbox() + "/closed.eml"));
  EXPECT_EQ(ErrorOf([&] { conn->CommitTrans(); }), errors::kNotOpen);
}

TEST_F(StoreRecordTest, NestedTransactionsAreSavepoints) {
  auto outer = Connect(Alice());
  auto inner = Connect(Alice());
  outer->BeginTrans();
  MakeItem(Inbox() + "/outer.eml");
  inner->BeginTrans();
  MakeItem(Inbox() + "/inner.eml");
  EXPECT_EQ(ErrorOf([&] {
              outer->RollbackTrans();
              inner->CommitTrans();
            }),
            errors::kFail)
      << "rolling back the outer level ends the inner one too";
  EXPECT_FALSE(Exists(Inbox() + "/outer.eml"));

  outer->BeginTrans();
  MakeItem(Inbox() + "/outer.eml");
  inner->BeginTrans();
  MakeItem(Inbox() + "/inner.eml");
  inner->RollbackTrans();
  outer->CommitTrans();
  EXPECT_TRUE(Exists(Inbox() + "/outer.eml"));
  EXPECT_FALSE(Exists(Inbox() + "/inner.eml"));
}

TEST_F(StoreRecordTest, OtherThreadsSeeOnlyCommittedWorkAndWaitToWrite) {
  auto conn = Connect(Alice());
  conn->BeginTrans();
  MakeItem(Inbox() + "/pending.eml");
  bool seenBefore = true;
  std::thread([&] { seenBefore = Exists(Inbox() + "/pending.eml"); }).join();
  EXPECT_FALSE(seenBefore);

  std::atomic<bool> written{false};
  std::thread writer([&] {
    MakeItem(Inbox() + "/other.eml");
    written = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(written) << "a writer on another thread waits for the open transaction";
  conn->CommitTrans();
  writer.join();
  EXPECT_TRUE(written);
  bool seenAfter = false;
  std::thread([&] { seenAfter = Exists(Inbox() + "/pending.eml"); }).join();
  EXPECT_TRUE(seenAfter);
}

// Folders a session has resolved are remembered from one of its transactions to the next; a
// change made by another connection, or undone by a rollback, must never be hidden by that.
TEST_F(StoreRecordTest, RememberedFoldersFollowChangesMadeElsewhere) {
  using Change = std::function<void(const std::string& inbox, store::Connection&)>;
  const std::pair<const char*, Change> cases[] = {
      {"moved by another thread",
       [](const std::string& inbox, store::Connection&) {
         std::thread([&] {
           store::OpenRecord(inbox, nullptr, Mode::kReadWrite)
               ->MoveRecord(inbox + "/Spam", inbox + "/Junk", false);
         }).join();
       }},
      {"deleted by another thread",
       [](const std::string& inbox, store::Connection&) {
         std::thread([&] {
           store::OpenRecord(inbox, nullptr, Mode::kReadWrite)->DeleteRecord(inbox + "/Spam");
         }).join();
       }},
      {"created in a rolled-back transaction",
       [](const std::string& inbox, store::Connection& conn) {
         store::OpenRecord(inbox, nullptr, Mode::kReadWrite)->DeleteRecord(inbox + "/Spam");
         conn.BeginTrans();
         MakeFolder(inbox + "/Spam");
         MakeItem(inbox + "/Spam/undone.eml");
         conn.RollbackTrans();
       }},
  };
  int n = 0;
  for (const auto& [name, change] : cases) {
    SCOPED_TRACE(name);
    MakeFolder(Inbox() + "/Spam");
    auto conn = Connect(Alice());
    conn->BeginTrans();
    MakeItem(Inbox() + "/Spam/first" + std::to_string(n) + ".eml");
    conn->CommitTrans();
    change(Inbox(), *conn);
    conn->BeginTrans();
    EXPECT_EQ(ErrorOf([&] { MakeItem(Inbox() + "/Spam/second.eml"); }), errors::kNotFound);
    conn->RollbackTrans();
    EXPECT_FALSE(Exists(Inbox() + "/Junk/second.eml"));
    if (Exists(Inbox() + "/Junk"))
      store::OpenRecord(Inbox(), nullptr, Mode::kReadWrite)->DeleteRecord(Inbox() + "/Junk");
    ++n;
  }
}

TEST_F(StoreRecordTest, AFailingCommitLeavesNothing) {
  {
    ArmedFaults faults("store.commit");
    EXPECT_THROW(store::admin::Deliver("alice", "Subject: x\r\n\r\nbody\r\n"), PlatformError);
    EXPECT_THROW(MakeItem(Inbox() + "/f.eml"), PlatformError);
  }
  EXPECT_TRUE(store::admin::List(Inbox(), false).empty());
  MakeItem(Inbox() + "/f.eml");
  EXPECT_TRUE(Exists(Inbox() + "/f.eml"));
}

TEST_F(StoreRecordTest, StreamsAreCopiesOfTheSource) {
  const std::string source = "Subject: s\r\n\r\nline one\r\n";
  store::admin::SaveItem(Inbox() + "/m.eml", source);
  auto msg = store::CreateMessage();
  EXPECT_THROW(msg->GetStream(), PlatformError);
  EXPECT_THROW(msg->OpenDataSource(Inbox() + "/none.eml"), PlatformError);
  msg->OpenDataSource(Inbox() + "/m.eml");
  auto stream = msg->GetStream();
  EXPECT_EQ(stream->ReadText(), source);
  stream->SetPosition(0);
  const std::string longer = "x-receiver: a@b\r\nx-sender: c@d\r\n" + source;
  stream->WriteText(longer);
  stream->SetPosition(0);
  EXPECT_EQ(stream->ReadText(), longer);
  EXPECT_EQ(store::admin::Source(Inbox() + "/m.eml"), source);
  EXPECT_THROW(stream->SetPosition(-1), PlatformError);
}

TEST_F(StoreRecordTest, SaveToFileNeverReplacesAndLeavesNoTemporaryFile) {
  testing::TempDir out;
  const auto file = out.path() / "1122005123.eml";
  store::admin::SaveItem(Inbox() + "/m.eml", "Subject: one\r\n\r\n1\r\n");
  auto stream = [&] {
    auto msg = store::CreateMessage();
    msg->OpenDataSource(Inbox() + "/m.eml");
    return msg->GetStream();
  };
  stream()->SaveToFile(file, store::SaveOption::kCreateNotExist);
  EXPECT_EQ(testing::ReadFile(file), "Subject: one\r\n\r\n1\r\n");

  auto other = stream();
  other->WriteText("changed");
  EXPECT_EQ(ErrorOf([&] { other->SaveToFile(file, store::SaveOption::kCreateNotExist); }),
            errors::kFileExists);
  EXPECT_EQ(testing::ReadFile(file), "Subject: one\r\n\r\n1\r\n");

  {
    ArmedFaults faults("store.stream.save");
    EXPECT_THROW(stream()->SaveToFile(out.path() / "2.eml", store::SaveOption::kCreateNotExist),
                 PlatformError);
  }

  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(out.path()))
    names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"1122005123.eml"});
}

}  // namespace
}  // namespace drossgate::platform::test
