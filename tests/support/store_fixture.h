#pragma once
// A platform root with a mailbox store and two mailboxes, made through the store's admin API:
// alice (inbox "Inbox", two addresses) and bob (inbox "Posteingang").

#include <gtest/gtest.h>

#include <string>

#include "error.h"
#include "platform_fixture.h"
#include "store/store.h"

namespace drossgate::platform::test {

inline const std::string kMbx = "file://./backofficestorage/example.com/MBX";

class StoreTest : public PlatformRootTest {
 protected:
  void SetUp() override {
    PlatformRootTest::SetUp();
    system_ = store::admin::CreateStore(root(), "example.com", "First Storage Group");
    alice_ = store::admin::AddMailbox("alice", {"alice@example.com", "a.smith@example.com"});
    bob_ = store::admin::AddMailbox("bob", {"bob@example.com"}, "Posteingang");
  }

  static std::string Alice() { return std::string(kMbx) + "/alice"; }
  static std::string Bob() { return std::string(kMbx) + "/bob"; }

  // Creates the item at url with the given text properties (and nothing else).
  static void MakeItem(const std::string& url,
                       const std::vector<std::pair<std::string, store::Value>>& props = {}) {
    auto rec =
        store::OpenRecord(url, nullptr, store::Mode::kReadWrite, store::kCreateNonCollection);
    for (const auto& [name, v] : props) rec->GetFields().Set(name, v);
    rec->GetFields().Update();
  }
  static void MakeFolder(const std::string& url) {
    store::OpenRecord(url, nullptr, store::Mode::kReadWrite, store::kCreateCollection)->Close();
  }
  static bool Exists(const std::string& url) {
    return SkipOnError([&] { store::OpenRecord(url, nullptr, store::Mode::kRead); });
  }
  static store::Value Prop(const std::string& url, const std::string& name) {
    return store::OpenRecord(url, nullptr, store::Mode::kRead)->GetFields().Get(name);
  }
  static std::unique_ptr<store::Connection> Connect(const std::string& url) {
    auto conn = store::CreateConnection();
    conn->SetProvider(store::kProvider);
    conn->Open(url);
    return conn;
  }

  store::admin::MailboxInfo system_, alice_, bob_;
};

}  // namespace drossgate::platform::test
