// How the store names things: both URL spellings, letter case, mailboxes by address, the
// refusal of traversal, the permanent URL and the file-system view.
#include "error.h"
#include "store_fixture.h"

namespace drossgate::platform::test {
namespace {

using store::Mode;

const std::string kPermanentUrl = "http://schemas.microsoft.com/exchange/permanenturl";

class StoreUrlTest : public StoreTest {
 protected:
  static std::string Text(const std::string& url, const std::string& name) {
    return store::ValueText(Prop(url, name));
  }
};

TEST_F(StoreUrlTest, UrlsResolveInBothSpellingsAndOnlyThere) {
  const std::string mbx = kMbx;
  struct Case {
    const char* name;
    std::string url;
    std::string opens;  // the URL the store hands back; empty: no such item
  };
  const std::vector<Case> cases = {
      {"file spelling", mbx + "/alice/Inbox", mbx + "/alice/Inbox"},
      {"mailbox by primary address", mbx + "/alice@example.com/Inbox", mbx + "/alice/Inbox"},
      {"http with short name", "http://MAIL1/exadmin/example.com/MBX/alice/Inbox",
       mbx + "/alice/Inbox"},
      {"the MBX container", "file://./backofficestorage/example.com/mbx", mbx},
      {"http naming another computer", "http://mail2/exadmin/example.com/MBX/alice", ""},
      {"other scheme", "https://mail1/exadmin/example.com/MBX/alice", ""},
      {"dot-dot segment", mbx + "/alice/../bob", ""},
      {"trailing slash", mbx + "/alice/Inbox/", ""},
      {"backslash separator", "file://./backofficestorage\\example.com\\MBX\\alice", ""},
      {"unknown mailbox", mbx + "/carol", ""},
      {"bob has no folder named Inbox", mbx + "/bob/Inbox", ""},
  };
  for (const Case& c : cases) {
    std::string url, href;
    EXPECT_EQ(ErrorOf([&] {
                auto rec = store::OpenRecord(c.url, nullptr, Mode::kRead);
                url = rec->Url();
                href = store::ValueText(rec->GetFields().Get("DAV:href"));
              }),
              c.opens.empty() ? errors::kNotFound : 0)
        << c.name;
    EXPECT_EQ(url, c.opens) << c.name;
    EXPECT_EQ(href, c.opens) << c.name;
  }
}

TEST_F(StoreUrlTest, PermanentUrlStaysWhenTheItemMoves) {
  MakeItem(Alice() + "/Inbox/note.eml");
  MakeFolder(Alice() + "/Inbox/Spam");
  const std::string permanent = Text(Alice() + "/Inbox/note.eml", kPermanentUrl);
  ASSERT_EQ(permanent.rfind(Alice() + "/-FlatUrlSpace-/", 0), 0u) << permanent;
  auto rec = store::OpenRecord(Alice() + "/Inbox/note.eml", nullptr, Mode::kReadWrite);
  rec->MoveRecord("", Alice() + "/Inbox/Spam/moved.eml", false);
  EXPECT_EQ(store::ValueText(rec->GetFields().Get(kPermanentUrl)), permanent);
  EXPECT_EQ(store::OpenRecord(permanent, nullptr, Mode::kRead)->Url(),
            Alice() + "/Inbox/Spam/moved.eml");

  // The identity belongs to alice's mailbox: bob's mailbox URL does not reach it.
  const std::string id = permanent.substr(permanent.rfind('/') + 1);
  EXPECT_FALSE(Exists(Bob() + "/-FlatUrlSpace-/" + id));
  EXPECT_FALSE(Exists(Alice() + "/-FlatUrlSpace-/" + id + "/more"));

  // Mailbox roots have identities of their own, so mailboxes can be told apart.
  EXPECT_NE(Text(Alice(), kPermanentUrl), Text(Bob(), kPermanentUrl));
}

// The setup program lists domains and the sink checks folders through this view.
TEST_F(StoreUrlTest, FileSystemViewSeesTheStoreFoldersOnly) {
  MakeFolder(Alice() + "/Inbox/Spam");
  MakeItem(Alice() + "/Inbox/item.eml");
  EXPECT_EQ(store::ListFileSystemView("\\\\.\\backofficestorage\\"),
            std::vector<std::string>{"example.com"});
  const std::string alice = "\\\\.\\backofficestorage\\example.com\\MBX\\alice\\";
  const std::pair<std::string, bool> cases[] = {
      {"\\\\.\\BackOfficeStorage\\EXAMPLE.com\\mbx\\ALICE\\inbox/spam", true},
      {alice + "Inbox/item.eml", false},  // an item is no folder
      {alice + "..\\bob", false},
  };
  for (const auto& [path, exists] : cases)
    EXPECT_EQ(store::FileSystemFolderExists(path), exists) << path;
}

}  // namespace
}  // namespace drossgate::platform::test
