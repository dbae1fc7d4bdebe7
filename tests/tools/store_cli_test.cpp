// drossgate-platform's store commands run as processes on a root made with the platform's own
// calls: deliver as a delivery agent, the store upgraded whole, and the root's files private.
#include <sqlite3.h>
#include <sys/stat.h>

#include <functional>

#include <nlohmann/json.hpp>

#include "sink_root.h"
#include "store_fixture.h"

namespace drossgate::platform::test {
namespace {

using nlohmann::json;
using testing::ProcessResult;
using testing::RunPlatformTool;

class StoreCliTest : public StoreTest {
 protected:
  ProcessResult Run(const std::vector<std::string>& args) { return RunPlatformTool(root(), args); }
};

// deliver behind a mail server's pipe transport: the exit status is all the server sees, and
// only 75 makes it try again later. Found: a busy or unreadable store bounced mail (exit 1).
TEST_F(StoreCliTest, DeliverExitsAsADeliveryAgent) {
  testing::WriteFile(root() / "machine.json",
                     R"({"computer": "MAIL1", "domain": "example.com", "user": "administrator",
                         "store": {"busy_timeout_ms": 200}})");
  // Stored byte for byte, a NUL byte and all.
  const char raw[] = "Subject: ok\r\nX-Score: 12.5\r\n\r\nwith \0 a NUL byte\n";
  const std::string message(raw, sizeof raw - 1);
  const std::string good = (root() / "good.eml").string();
  testing::WriteFile(good, message);
  sqlite3* locker = nullptr;
  ASSERT_EQ(sqlite3_open((root() / "store.db").c_str(), &locker), SQLITE_OK);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    std::function<void()> before, after;
  };
  const std::vector<Case> cases = {
      {"delivered to a subaddress", {"--to", "alice+news@example.com", good}, 0, {}, {}},
      {"unknown mailbox", {"--to", "carol", good}, 67, {}, {}},
      {"one of two unknown", {"--to", "bob", "--to", "carol", good}, 67, {}, {}},
      {"no files", {"--to", "alice"}, 64, {}, {}},
      {"unreadable message", {"--to", "alice", (root() / "missing.eml").string()}, 65, {}, {}},
      {"store busy past its timeout",
       {"--to", "alice", good},
       75,
       [&] { sqlite3_exec(locker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr); },
       [&] { sqlite3_exec(locker, "ROLLBACK", nullptr, nullptr, nullptr); }},
      {"store missing",
       {"--to", "alice", good},
       75,
       [&] { std::filesystem::rename(root() / "store.db", root() / "away.db"); },
       [&] { std::filesystem::rename(root() / "away.db", root() / "store.db"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.before) c.before();
    std::vector<std::string> args{"deliver"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ProcessResult r = Run(args);
    if (c.after) c.after();
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
  }
  sqlite3_close(locker);
  EXPECT_EQ(store::admin::List(kMbx + "/alice/Inbox", false).size(), 1u);
  EXPECT_EQ(store::admin::List(kMbx + "/bob/Posteingang", false).size(), 1u);

  // The envelope sender, and the level an upstream scanner wrote, held to -1..9.
  ProcessResult r =
      Run({"deliver", "--to", "bob", "-f", "s@example.org", "--scl-from-header", "x-score", good});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string now = testing::JsonLines(r.out)[0]["now"];
  json props = json::parse(Run({"show", now, "--json"}).out)["properties"];
  EXPECT_EQ(props["http://schemas.microsoft.com/mapi/proptag/0x40760003"], 9);
  EXPECT_EQ(props["urn:schemas:mailheader:return-path"], "s@example.org");
  EXPECT_EQ(Run({"cat", now}).out, message);
}

// No mailbox is removed (reading outside the store or through ".." is the store's URL table's).
TEST_F(StoreCliTest, AMailboxIsNeverRemoved) {
  ProcessResult r = Run({"rm", kMbx + "/alice"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_TRUE(Exists(Alice()));
}

// A store written by the first version (ids reused after deletes, no creation times) is
// upgraded when a process opens it, keeping every item and message byte for byte.
TEST_F(StoreCliTest, AStoreOfTheFirstVersionIsUpgradedWhole) {
  const std::string message = "Subject: kept\r\n\r\nbody\r\n";
  const std::string url = store::admin::Deliver("alice", message).deliveredUrl;
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((root() / "store.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE v1 AS SELECT id, parent, kind, name, name_key, mailbox, "
                         "is_reg, reg_refused, source FROM items; DROP TABLE items;"
                         "CREATE TABLE items(id INTEGER PRIMARY KEY, parent INTEGER, kind INTEGER "
                         "NOT NULL, name TEXT NOT NULL, name_key TEXT NOT NULL, mailbox INTEGER, "
                         "is_reg INTEGER NOT NULL DEFAULT 0, reg_refused INTEGER NOT NULL DEFAULT "
                         "0, source BLOB, UNIQUE(parent, name_key));"
                         "INSERT INTO items SELECT * FROM v1; DROP TABLE v1;"
                         "DROP TABLE queue; DROP TABLE uids; DROP TABLE mail_folders;"
                         "DROP TABLE delivery_log;"
                         "DELETE FROM meta WHERE key = 'uid_validity';"
                         "UPDATE meta SET value = 1 WHERE key = 'schema';",
                         nullptr, nullptr, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);

  ProcessResult r = Run({"cat", url});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, message);
  ASSERT_EQ(sqlite3_open((root() / "store.db").c_str(), &db), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT (SELECT value FROM meta WHERE key = 'schema'), "
                     "(SELECT seq FROM sqlite_sequence WHERE name = 'items') = "
                     "(SELECT max(id) FROM items)",
                     -1, &st, nullptr);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(st, 0), 6);
  EXPECT_EQ(sqlite3_column_int(st, 1), 1);
  sqlite3_finalize(st);
  sqlite3_close(db);
}

// Every folder and file below root whose mode is not the owner's alone.
std::vector<std::string> LooseModes(const std::filesystem::path& root) {
  std::vector<std::string> loose;
  auto check = [&](const std::filesystem::path& p) {
    struct stat st {};
    lstat(p.c_str(), &st);
    const mode_t want = S_ISDIR(st.st_mode) ? 0700 : 0600;
    if ((st.st_mode & 07777) != want) loose.push_back(p.string());
  };
  check(root);
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) check(e.path());
  return loose;
}

// Found: store.db was 0644 in a 0755 root, so every local user could read all mail; under
// umask 000 the root and pickup/ were 0777, and a local user planted mail and renamed files.
TEST(PlatformFiles, AreTheOwnersAloneWhateverTheUmask) {
  testing::TempDir dir;
  const auto root = dir.path() / "root";
  auto run = [&](std::vector<std::string> args) {
    std::vector<std::string> argv{
        "/bin/sh", "-c",         "umask 000; exec \"$0\" \"$@\"", testing::PlatformTool().string(),
        "--root",  root.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    testing::ProcessResult r = testing::RunProcess(argv);
    EXPECT_EQ(r.exitCode, 0) << r.err;
  };
  run({"init", "--demo"});
  // A reader keeps the store's log and shared-memory files from being removed at the end.
  sqlite3* reader = nullptr;
  ASSERT_EQ(sqlite3_open_v2((root / "store.db").c_str(), &reader, SQLITE_OPEN_READONLY, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(reader, "SELECT count(*) FROM items", nullptr, nullptr, nullptr),
            SQLITE_OK);
  testing::WriteFile(dir.path() / "m.eml", "Subject: hi\r\n\r\nbody\r\n");
  run({"deliver", "--to", "ada", (dir.path() / "m.eml").string()});
  EXPECT_TRUE(std::filesystem::exists(root / "store.db-wal"));
  EXPECT_EQ(LooseModes(root), std::vector<std::string>{});
  sqlite3_close(reader);

  // A root made loose by hand, or by an older version, is made private by the next command.
  chmod(root.c_str(), 0755);
  chmod((root / "store.db").c_str(), 0644);
  chmod((root / "pickup").c_str(), 0777);
  run({"ls", "file://./backofficestorage/example.com/MBX/ada"});
  EXPECT_EQ(LooseModes(root), std::vector<std::string>{});
  // The setup program does the same, and what it creates is private too.
  chmod(root.c_str(), 0777);
  chmod((root / "catalog.db").c_str(), 0666);
  testing::ProcessResult setup =
      testing::RunProcess({"/bin/sh", "-c", "umask 000; exec \"$0\" --list",
                           (testing::BinaryDir() / "setup" / "DrossgateSetup").string()},
                          {{"DROSSGATE_PLATFORM", root.string()}});
  EXPECT_EQ(setup.exitCode, 0) << setup.err;
  EXPECT_EQ(LooseModes(root), std::vector<std::string>{});
}

}  // namespace
}  // namespace drossgate::platform::test
