// How the store names things: both URL spellings, letter case, mailboxes by address, the
// refusal of traversal, the permanent URL, per-mailbox inbox names and the file-system view.
#include "error.h"
#include "store_fixture.h"
#include "text.h"

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
      {"per-mailbox inbox name", mbx + "/bob/posteingang", mbx + "/bob/Posteingang"},
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

TEST_F(StoreUrlTest, CreatingThroughTheHttpSpellingHandsOutFileUrls) {
  auto rec = store::OpenRecord("http://mail1/exadmin/example.com/MBX/alice@example.com/Inbox/x.eml",
                               nullptr, Mode::kReadWrite, store::kCreateNonCollection);
  rec->GetFields().Update();
  EXPECT_EQ(rec->Url(), Alice() + "/Inbox/x.eml");
  EXPECT_EQ(store::ValueText(rec->GetFields().Get("DAV:parentname")), Alice() + "/Inbox");
}

TEST_F(StoreUrlTest, MailboxRootsNameTheirOwnInbox) {
  EXPECT_EQ(Text(Alice(), "urn:schemas:httpmail:inbox"), Alice() + "/Inbox");
  EXPECT_EQ(Text(Bob(), "urn:schemas:httpmail:inbox"), Bob() + "/Posteingang");

  auto byAddress = store::admin::FindMailbox("BOB@example.com");
  ASSERT_TRUE(byAddress);
  EXPECT_EQ(byAddress->url, Bob());
  EXPECT_EQ(byAddress->inboxUrl, Bob() + "/Posteingang");
  EXPECT_FALSE(store::admin::FindMailbox("carol@example.com"));
  EXPECT_EQ(store::admin::FindMailbox("a.smith@example.com")->addresses,
            (std::vector<std::string>{"alice@example.com", "a.smith@example.com"}));
}

TEST_F(StoreUrlTest, PermanentUrlStaysWhenTheItemMoves) {
  MakeItem(Alice() + "/Inbox/note.eml", {{"urn:schemas:httpmail:subject", std::string("hi")}});
  const std::string permanent = Text(Alice() + "/Inbox/note.eml", kPermanentUrl);
  ASSERT_EQ(permanent.rfind(Alice() + "/-FlatUrlSpace-/", 0), 0u) << permanent;

  MakeFolder(Alice() + "/Inbox/Spam");
  auto rec = store::OpenRecord(Alice() + "/Inbox/note.eml", nullptr, Mode::kReadWrite);
  EXPECT_EQ(rec->MoveRecord("", Alice() + "/Inbox/Spam/moved.eml", false),
            Alice() + "/Inbox/Spam/moved.eml");
  EXPECT_EQ(store::ValueText(rec->GetFields().Get(kPermanentUrl)), permanent);

  auto byId = store::OpenRecord(permanent, nullptr, Mode::kRead);
  EXPECT_EQ(byId->Url(), Alice() + "/Inbox/Spam/moved.eml");
  EXPECT_EQ(store::ValueText(byId->GetFields().Get("urn:schemas:httpmail:subject")), "hi");

  // The identity belongs to alice's mailbox: bob's mailbox URL does not reach it.
  const std::string id = permanent.substr(permanent.rfind('/') + 1);
  EXPECT_FALSE(Exists(Bob() + "/-FlatUrlSpace-/" + id));
  EXPECT_FALSE(Exists(Alice() + "/-FlatUrlSpace-/" + id + "/more"));

  // Mailbox roots have identities of their own, so mailboxes can be told apart.
  EXPECT_NE(Text(Alice(), kPermanentUrl), Text(Bob(), kPermanentUrl));
}

TEST_F(StoreUrlTest, FileSystemViewSeesTheStoreFolders) {
  MakeFolder(Alice() + "/Inbox/Spam");
  MakeItem(Alice() + "/Inbox/item.eml");
  using List = std::vector<std::string>;
  EXPECT_EQ(store::ListFileSystemView("\\\\.\\backofficestorage\\"), List{"example.com"});
  EXPECT_EQ(store::ListFileSystemView("//./backofficestorage/example.com"), List{"MBX"});
  EXPECT_EQ(store::ListFileSystemView("\\\\.\\backofficestorage\\example.com\\MBX\\"),
            (List{"alice", "bob", system_.alias}));
  EXPECT_TRUE(store::ListFileSystemView("\\\\.\\backofficestorage\\nowhere\\").empty());

  const std::string alice = "\\\\.\\backofficestorage\\example.com\\MBX\\alice\\";
  const std::pair<std::string, bool> cases[] = {
      {alice + "Inbox/Spam", true},  // mixed separators
      {"\\\\.\\BackOfficeStorage\\EXAMPLE.com\\mbx\\ALICE\\inbox\\spam", true},
      {alice + "Inbox/Junk", false},
      {alice + "Inbox/item.eml", false},  // an item is no folder
      {alice + "..\\bob", false},
  };
  for (const auto& [path, exists] : cases)
    EXPECT_EQ(store::FileSystemFolderExists(path), exists) << path;
}

}  // namespace
}  // namespace drossgate::platform::test
