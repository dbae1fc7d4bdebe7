// Records, fields, moves, deletes, transactions and saving a message to a file.
#include <chrono>
#include <future>
#include <thread>
#include <tuple>

#include "error.h"
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
      {"hidden tag and DAV:ishidden", tag + "x67aa000b", "DAV:ishidden", true},
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

// Create options never replace a folder with its messages, nor create below an item.
TEST_F(StoreRecordTest, CreateOptionsNeverReplaceAFolder) {
  MakeFolder(Inbox() + "/F");
  MakeItem(Inbox() + "/F/kept.eml");
  MakeItem(Inbox() + "/i.eml", {{"urn:x:old", std::string("old")}});
  const std::tuple<const char*, std::string, int32_t, int32_t> cases[] = {
      {"create folder over a folder", "F", store::kCreateCollection, errors::kAlreadyExists},
      {"overwrite a folder", "F", store::kCreateOverwrite, errors::kAlreadyExists},
      {"overwrite an item", "i.eml", store::kCreateOverwrite, 0},
      {"create below an item", "i.eml/x", store::kCreateNonCollection, errors::kNotFound},
  };
  for (const auto& [name, path, options, error] : cases) {
    EXPECT_EQ(ErrorOf([&] {
                auto rec =
                    store::OpenRecord(Inbox() + "/" + path, nullptr, Mode::kReadWrite, options);
                EXPECT_FALSE(rec->GetFields().Has("urn:x:old")) << name;
              }),
              error)
        << name;
  }
  EXPECT_TRUE(Exists(Inbox() + "/F/kept.eml"));
  EXPECT_EQ(ErrorOf([] { MakeFolder(kMbx + "/newmailbox"); }), errors::kNotFound) << "no mailbox";
}

TEST_F(StoreRecordTest, MoveReplacesOnlyWithOverwrite) {
  MakeItem(Inbox() + "/a.eml", {{"urn:x:who", std::string("a")}});
  MakeItem(Inbox() + "/b.eml", {{"urn:x:who", std::string("b")}});
  auto rec = store::OpenRecord(Inbox() + "/a.eml", nullptr, Mode::kReadWrite);
  EXPECT_EQ(ErrorOf([&] { rec->MoveRecord(Inbox() + "/a.eml", Inbox() + "/b.eml", false); }),
            errors::kAlreadyExists);
  EXPECT_EQ(Prop(Inbox() + "/b.eml", "urn:x:who"), Value(std::string("b")));

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

// A folder moves and goes with its content, never into itself; a mailbox neither moves nor goes.
TEST_F(StoreRecordTest, FoldersMoveAndGoWithTheirContentButMailboxesStay) {
  MakeFolder(Inbox() + "/F");
  MakeFolder(Inbox() + "/F/G");
  MakeItem(Inbox() + "/F/G/m.eml", {{"urn:x:k", std::string("v")}});
  auto folder = store::OpenRecord(Inbox() + "/F", nullptr, Mode::kReadWrite);
  EXPECT_EQ(ErrorOf([&] { folder->MoveRecord("", Inbox() + "/F/G/F", false); }),
            errors::kInvalidArg);
  EXPECT_EQ(ErrorOf([&] { folder->MoveRecord(Alice(), Inbox() + "/x", false); }),
            errors::kAccessDenied);
  EXPECT_EQ(ErrorOf([&] { folder->DeleteRecord(Alice()); }), errors::kAccessDenied);
  EXPECT_EQ(ErrorOf([&] { store::admin::Remove(kMbx); }), errors::kAccessDenied);
  folder->MoveRecord("", Alice() + "/Drafts/F2", false);
  EXPECT_EQ(Prop(Alice() + "/Drafts/F2/G/m.eml", "urn:x:k"), Value(std::string("v")));
  EXPECT_FALSE(Exists(Inbox() + "/F"));
  auto item = store::OpenRecord(Alice() + "/Drafts/F2/G/m.eml", nullptr, Mode::kReadWrite);
  item->DeleteRecord(Alice() + "/Drafts/F2");
  EXPECT_FALSE(Exists(Alice() + "/Drafts/F2"));
  EXPECT_EQ(ErrorOf([&] { item->GetFields().Get("DAV:href"); }), errors::kNotFound);
}

TEST_F(StoreRecordTest, OtherThreadsSeeOnlyCommittedWorkAndWaitToWrite) {
  auto conn = Connect(Alice());
  conn->BeginTrans();
  MakeItem(Inbox() + "/pending.eml");
  auto seenElsewhere = [&] {
    return std::async(std::launch::async, [&] { return Exists(Inbox() + "/pending.eml"); }).get();
  };
  EXPECT_FALSE(seenElsewhere());

  auto writer = std::async(std::launch::async, [&] { MakeItem(Inbox() + "/other.eml"); });
  EXPECT_EQ(writer.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout)
      << "a writer on another thread waits for the open transaction";
  conn->CommitTrans();
  writer.get();
  EXPECT_TRUE(seenElsewhere());
}

// Folders a session has resolved are remembered from one of its transactions to the next; a
// change made by another connection, or undone by a rollback, must never be hidden by that.
TEST_F(StoreRecordTest, RememberedFoldersFollowChangesMadeElsewhere) {
  using Change = std::function<void(const std::string& inbox, store::Connection&)>;
  const std::pair<const char*, Change> cases[] = {
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
  EXPECT_EQ(store::admin::Source(Inbox() + "/m.eml"), "Subject: one\r\n\r\n1\r\n")
      << "a stream is a copy: writing to it leaves the message as it is";

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
