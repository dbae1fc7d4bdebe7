#include "store/engine.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "error.h"
#include "fault.h"
#include "store/history.h"
#include "store/names.h"
#include "system/atomic_file.h"
#include "system/system.h"

namespace drossgate::platform::store {

namespace {

constexpr int kSchemaVersion = 6;

// Savepoint statements of the usual nesting depths, so that each is prepared once per session
// (statements are cached by the address of their text). Level 0 is the transaction itself.
constexpr size_t kNamedLevels = 8;
constexpr const char* kSavepoint[kNamedLevels] = {"",
                                                  "SAVEPOINT s1",
                                                  "SAVEPOINT s2",
                                                  "SAVEPOINT s3",
                                                  "SAVEPOINT s4",
                                                  "SAVEPOINT s5",
                                                  "SAVEPOINT s6",
                                                  "SAVEPOINT s7"};
constexpr const char* kRelease[kNamedLevels] = {"",           "RELEASE s1", "RELEASE s2",
                                                "RELEASE s3", "RELEASE s4", "RELEASE s5",
                                                "RELEASE s6", "RELEASE s7"};

// The version 3 schema: a new file gets it and then the later migrations.
constexpr const char* kSchema = R"(
CREATE TABLE meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;
INSERT INTO meta(key, value) VALUES ('schema', 3), ('reg_generation', 1);
CREATE TABLE items(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER,
  kind INTEGER NOT NULL,
  name TEXT NOT NULL,
  name_key TEXT NOT NULL,
  mailbox INTEGER,
  is_reg INTEGER NOT NULL DEFAULT 0,
  reg_refused INTEGER NOT NULL DEFAULT 0,
  source BLOB,
  created INTEGER NOT NULL DEFAULT (CAST(strftime('%s', 'now') AS INTEGER)),
  UNIQUE(parent, name_key));
CREATE INDEX items_reg ON items(is_reg) WHERE is_reg = 1;
CREATE TABLE properties(
  item INTEGER NOT NULL,
  name_key TEXT NOT NULL,
  position INTEGER NOT NULL,
  name TEXT NOT NULL,
  type INTEGER NOT NULL,
  value,
  PRIMARY KEY(item, name_key)) WITHOUT ROWID;
CREATE TABLE stores(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL,
  name_key TEXT NOT NULL UNIQUE,
  mbx INTEGER NOT NULL,
  system_mailbox INTEGER);
CREATE TABLE mailboxes(
  root INTEGER PRIMARY KEY,
  alias TEXT NOT NULL,
  alias_key TEXT NOT NULL UNIQUE,
  store INTEGER NOT NULL,
  is_system INTEGER NOT NULL);
CREATE TABLE addresses(
  address_key TEXT PRIMARY KEY,
  address TEXT NOT NULL,
  mailbox INTEGER NOT NULL,
  position INTEGER NOT NULL) WITHOUT ROWID;
CREATE INDEX addresses_mailbox ON addresses(mailbox);
CREATE TABLE special_folders(
  mailbox INTEGER NOT NULL,
  property TEXT NOT NULL,
  item INTEGER NOT NULL,
  UNIQUE(mailbox, property));
CREATE INDEX special_folders_item ON special_folders(item);
CREATE TABLE name_seq(
  parent INTEGER NOT NULL,
  base_key TEXT NOT NULL,
  next INTEGER NOT NULL,
  PRIMARY KEY(parent, base_key)) WITHOUT ROWID;
CREATE TABLE queue(
  file_key TEXT NOT NULL,
  receiver TEXT NOT NULL,
  file TEXT NOT NULL,
  state TEXT NOT NULL,
  detail TEXT NOT NULL,
  attempts INTEGER NOT NULL,
  next_try INTEGER NOT NULL,
  updated INTEGER NOT NULL,
  PRIMARY KEY(file_key, receiver)) WITHOUT ROWID;
INSERT INTO items(id, parent, kind, name, name_key) VALUES (1, NULL, 0, 'backofficestorage', 'backofficestorage');
)";

// Upgrades from earlier versions, in order: kMigrations[v - 1] takes version v to v + 1.
// Version 1 reused the ids of deleted items, so that an id read before a delete could name
// another message afterwards; ids now only grow, and items carry their creation time.
constexpr const char* kMigrations[] = {
    R"(
CREATE TABLE items_v2(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER,
  kind INTEGER NOT NULL,
  name TEXT NOT NULL,
  name_key TEXT NOT NULL,
  mailbox INTEGER,
  is_reg INTEGER NOT NULL DEFAULT 0,
  reg_refused INTEGER NOT NULL DEFAULT 0,
  source BLOB,
  created INTEGER NOT NULL DEFAULT (CAST(strftime('%s', 'now') AS INTEGER)),
  UNIQUE(parent, name_key));
INSERT INTO items_v2(id, parent, kind, name, name_key, mailbox, is_reg, reg_refused, source, created)
  SELECT id, parent, kind, name, name_key, mailbox, is_reg, reg_refused, source, 0 FROM items;
DROP TABLE items;
ALTER TABLE items_v2 RENAME TO items;
CREATE INDEX items_reg ON items(is_reg) WHERE is_reg = 1;
UPDATE meta SET value = 2 WHERE key = 'schema';
)",
    // Version 3: the pickup service's record of what it did with each (file, receiver).
    "CREATE TABLE queue("
    "  file_key TEXT NOT NULL,"
    "  receiver TEXT NOT NULL,"
    "  file TEXT NOT NULL,"
    "  state TEXT NOT NULL,"
    "  detail TEXT NOT NULL,"
    "  attempts INTEGER NOT NULL,"
    "  next_try INTEGER NOT NULL,"
    "  updated INTEGER NOT NULL,"
    "  PRIMARY KEY(file_key, receiver)) WITHOUT ROWID;"
    "UPDATE meta SET value = 3 WHERE key = 'schema';",
    // Version 4: UIDs for mail clients. Triggers give them on every path that puts a message
    // into a folder (insert, move, a rewritten source), in the transaction that does it; the
    // rows live apart from the items so that a delivery never rewrites its source's row.
    // Existing messages get theirs in id order.
    R"(
CREATE TABLE mail_folders(
  folder INTEGER PRIMARY KEY,
  uid_validity INTEGER NOT NULL,
  uid_next INTEGER NOT NULL);
CREATE TABLE uids(
  item INTEGER PRIMARY KEY,
  folder INTEGER NOT NULL,
  uid INTEGER NOT NULL);
CREATE UNIQUE INDEX uids_folder ON uids(folder, uid);
CREATE TRIGGER folder_created AFTER INSERT ON items WHEN NEW.kind = 4 BEGIN
  UPDATE meta SET value = value + 1 WHERE key = 'uid_validity';
  INSERT INTO mail_folders(folder, uid_validity, uid_next)
    SELECT NEW.id, value, 1 FROM meta WHERE key = 'uid_validity';
END;
CREATE TRIGGER folder_deleted AFTER DELETE ON items WHEN OLD.kind = 4 BEGIN
  DELETE FROM mail_folders WHERE folder = OLD.id;
END;
CREATE TRIGGER message_created AFTER INSERT ON items WHEN NEW.kind = 5 BEGIN
  INSERT INTO uids(item, folder, uid)
    SELECT NEW.id, folder, uid_next FROM mail_folders WHERE folder = NEW.parent;
  UPDATE mail_folders SET uid_next = uid_next + 1 WHERE folder = NEW.parent;
END;
CREATE TRIGGER message_moved AFTER UPDATE OF parent ON items
    WHEN NEW.kind = 5 AND NEW.parent IS NOT OLD.parent BEGIN
  DELETE FROM uids WHERE item = NEW.id;
  INSERT INTO uids(item, folder, uid)
    SELECT NEW.id, folder, uid_next FROM mail_folders WHERE folder = NEW.parent;
  UPDATE mail_folders SET uid_next = uid_next + 1 WHERE folder = NEW.parent;
END;
CREATE TRIGGER message_rewritten AFTER UPDATE OF source ON items WHEN NEW.kind = 5 BEGIN
  DELETE FROM uids WHERE item = NEW.id;
  INSERT INTO uids(item, folder, uid)
    SELECT NEW.id, folder, uid_next FROM mail_folders WHERE folder = NEW.parent;
  UPDATE mail_folders SET uid_next = uid_next + 1 WHERE folder = NEW.parent;
END;
CREATE TRIGGER message_deleted AFTER DELETE ON items WHEN OLD.kind = 5 BEGIN
  DELETE FROM uids WHERE item = OLD.id;
END;
INSERT INTO mail_folders(folder, uid_validity, uid_next)
  SELECT id, ROW_NUMBER() OVER (ORDER BY id), 1 FROM items WHERE kind = 4;
INSERT INTO meta(key, value) SELECT 'uid_validity', COUNT(*) FROM mail_folders;
INSERT INTO uids(item, folder, uid)
  SELECT i.id, i.parent, ROW_NUMBER() OVER (PARTITION BY i.parent ORDER BY i.id)
  FROM items i JOIN mail_folders f ON f.folder = i.parent WHERE i.kind = 5;
UPDATE mail_folders
  SET uid_next = 1 + (SELECT COUNT(*) FROM uids WHERE uids.folder = mail_folders.folder);
UPDATE meta SET value = 4 WHERE key = 'schema';
)",
    // Version 5: the delivery log, found by item through an index, numbered by AUTOINCREMENT.
    // Version 6 keeps each delivered message's row number on the item instead, one write fewer
    // per delivery, rebuilds the table and gives the log its triggers anew; an upgrade always
    // goes on to version 6, so here the table needs only the columns version 6 copies.
    R"(
CREATE TABLE delivery_log(seq INTEGER PRIMARY KEY, time, mailbox, message_id, event, detail, item,
  sender, size);
UPDATE meta SET value = 5 WHERE key = 'schema';
)",
};

// The triggers record a move or delete only for an item that has a delivered row
// (items.log_seq), in the statement that makes the change; what they cannot compute (a folder's
// path, whether the log is on, what the thread is doing) comes from the session's functions.
// An SCL change is recorded by the one function that writes properties: a trigger on the
// properties would run its program for every property of every delivery.
std::string LogMigration() {
  // One trigger: when and for which delivered row (an expression of its seq), the event and its
  // detail. The mailbox and Message-ID are the delivered row's, read by single-row subqueries:
  // an INSERT ... SELECT from the table it inserts into would go through a temporary table on
  // every change.
  auto trigger = [](const std::string& head, const std::string& seq, const std::string& event,
                    const std::string& detail, const std::string& item) {
    const std::string of = " FROM delivery_log WHERE seq = " + seq + ")";
    return "CREATE TRIGGER " + head + "\n    AND EXISTS (SELECT 1" + of +
           " AND drossgate_log_on() BEGIN\n"
           "  INSERT INTO delivery_log(time, mailbox, message_id, event, detail, item)\n"
           "    VALUES (unixepoch(), (SELECT mailbox" +
           of + ", (SELECT message_id" + of + ",\n      " + event + ",\n      " + detail + ", " +
           item + ");\nEND;\n";
  };
  return R"(
DROP TRIGGER IF EXISTS log_moved;
DROP TRIGGER IF EXISTS log_deleted;
DROP TRIGGER IF EXISTS log_scl_added;
DROP TRIGGER IF EXISTS log_scl_changed;
ALTER TABLE items ADD COLUMN log_seq INTEGER;
UPDATE items SET log_seq = (SELECT seq FROM delivery_log
                            WHERE item = items.id AND event = 'delivered')
  WHERE kind = 5;
CREATE TABLE delivery_log_v6(
  seq INTEGER PRIMARY KEY,
  time INTEGER NOT NULL,
  mailbox TEXT NOT NULL,
  message_id TEXT NOT NULL,
  event TEXT NOT NULL,
  detail TEXT NOT NULL,
  item INTEGER,
  sender TEXT,
  size INTEGER);
INSERT INTO delivery_log_v6 SELECT seq, time, mailbox, message_id, event, detail, item, sender,
  size FROM delivery_log;
DROP TABLE delivery_log;
ALTER TABLE delivery_log_v6 RENAME TO delivery_log;
)" +
         trigger(
             "log_moved AFTER UPDATE OF parent ON items\n"
             "    WHEN NEW.log_seq IS NOT NULL AND NEW.parent IS NOT OLD.parent",
             "NEW.log_seq",
             R"(CASE WHEN NEW.parent = NEW.mailbox THEN 'parked'
           WHEN OLD.parent = OLD.mailbox THEN
             CASE drossgate_log_context() WHEN 'restored' THEN 'restored' ELSE 'returned' END
           ELSE 'moved' END)",
             "CASE WHEN NEW.parent <> NEW.mailbox THEN drossgate_folder_path(NEW.parent)\n"
             "           WHEN NEW.name_key = '" +
                 names::NameKey(names::kDeleteItemName) +
                 "' THEN 'delete'\n"
                 "           WHEN NEW.name_key LIKE '%" +
                 names::NameKey(names::kRedirectSuffix) +
                 "' THEN 'forward'\n"
                 "           ELSE '' END",
             "NEW.id") +
         trigger(
             "log_deleted AFTER DELETE ON items\n"
             "    WHEN OLD.log_seq IS NOT NULL AND drossgate_log_context() <> 'forwarded'",
             "OLD.log_seq", "'deleted'", "''", "OLD.id") +
         "UPDATE meta SET value = 6 WHERE key = 'schema';\n";
}

// The statements that take a store of version v to v + 1.
std::string Migration(int64_t v) {
  return v < kSchemaVersion - 1 ? std::string(kMigrations[v - 1]) : LogMigration();
}
static_assert(std::size(kMigrations) == kSchemaVersion - 2);

// Other threads and processes may hold the write lock for a whole delivery with its sinks;
// machine.json's "store": {"busy_timeout_ms": N} sets how long a writer waits for it.
constexpr int kBusyTimeoutMs = 60000;

int BusyTimeoutMs() {
  try {
    return static_cast<int>(Machine().Number("store.busy_timeout_ms", kBusyTimeoutMs, 0, 3600000));
  } catch (const PlatformError&) {
    return kBusyTimeoutMs;  // a store opened without a root of its own
  }
}

struct ThreadSessions {
  std::unordered_map<Engine*, std::unique_ptr<Session>> byEngine;
  ~ThreadSessions();
};
// Trivially destructible, so that it can still be read while thread-local objects of this
// thread are being destroyed.
thread_local bool tSessionsGone = false;
thread_local ThreadSessions tSessions;

ThreadSessions::~ThreadSessions() {
  tSessionsGone = true;
  byEngine.clear();
}

sqlite::OpenOptions StoreOptions(int busyTimeoutMs) {
  return {"store", errors::kNotFound, busyTimeoutMs, false};
}

void CreateFile(const std::string& file) {
  // The file exists with its final mode before SQLite writes a byte: SQLite gives its log and
  // shared-memory files the database file's mode.
  int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0 || fchmod(fd, kPrivateFileMode) != 0) {
    const std::string why = std::strerror(errno);
    if (fd >= 0) close(fd);
    Fail(errors::kFileWrite, "Cannot create the store file " + file + ": " + why);
  }
  close(fd);
  sqlite::Connection db(file, StoreOptions(kBusyTimeoutMs));
  db.Exec("PRAGMA journal_mode=WAL", "journal mode");
  sqlite::Transaction create(db, "BEGIN IMMEDIATE");
  // Two processes may race to create the file; the second finds the schema in place.
  if (!sqlite::Statement(db, "SELECT 1 FROM sqlite_master WHERE name = 'meta'").Step()) {
    db.Exec(kSchema, "create schema");
    for (int v = 3; v < kSchemaVersion; ++v) db.Exec(Migration(v).c_str(), "create schema");
  }
  create.Commit();
}

}  // namespace

// --- Engine ------------------------------------------------------------------------------

Engine::Engine(std::string file) : file_(std::move(file)) {
  try {
    logRetentionDays_ = Machine().Number("log.retention_days", 30, 0, 36500);
  } catch (const PlatformError&) {
    logRetentionDays_ = 30;  // a store opened without a root of its own
  }
}

Engine& Engine::ForRoot() {
  // Every store call asks; the last answer on this thread is kept for its root (engines live
  // as long as the process).
  thread_local std::filesystem::path lastRoot;
  thread_local Engine* last = nullptr;
  std::filesystem::path root = PlatformRoot();
  if (last && root.native() == lastRoot.native()) return *last;
  Engine& engine = ForFile(root / "store.db", false);
  lastRoot = std::move(root);
  last = &engine;
  return engine;
}

Engine& Engine::ForFile(const std::filesystem::path& dbFile, bool create) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<Engine>> engines;
  std::error_code ec;
  std::filesystem::path abs = std::filesystem::absolute(dbFile, ec).lexically_normal();
  std::string key = ec ? dbFile.string() : abs.string();
  std::lock_guard lock(mutex);
  if (create && !std::filesystem::exists(key, ec)) CreateFile(key);
  auto it = engines.find(key);
  if (it != engines.end()) return *it->second;
  if (!std::filesystem::is_regular_file(key, ec))
    Fail(errors::kNotFound, "The store file " + key + " does not exist");
  // Engines live as long as the process: sessions on other threads point at them.
  return *engines.emplace(key, std::make_unique<Engine>(key)).first->second;
}

Session& Engine::CurrentSession() {
  if (tSessionsGone) Fail(errors::kFail, "The store cannot be used while a thread ends");
  auto& slot = tSessions.byEngine[this];
  if (!slot) slot = std::make_unique<Session>(*this);
  return *slot;
}

// --- Stmt --------------------------------------------------------------------------------

Stmt::Stmt(Session& s, const char* sql)
    : s_(s), st_(s.connection(), s.Prepare(sql), /*owned=*/false) {}

Stmt& Stmt::BindValue(int typeIndex, int valueIndex, const Value& v) {
  if (auto b = std::get_if<bool>(&v))
    return Bind(typeIndex, int64_t{1}).Bind(valueIndex, int64_t{*b});
  if (auto i = std::get_if<int32_t>(&v))
    return Bind(typeIndex, int64_t{2}).Bind(valueIndex, int64_t{*i});
  if (auto t = std::get_if<std::string>(&v))
    return Bind(typeIndex, int64_t{3}).Bind(valueIndex, *t);
  return Bind(typeIndex, int64_t{0}).BindNull(valueIndex);
}

bool Stmt::Step() {
  s_.RequireLiveTransaction();
  return st_.Step();
}

void Stmt::Run() {
  while (Step()) {
  }
}

Value Stmt::ValueAt(int typeCol, int valueCol) const {
  switch (Int(typeCol)) {
    case 1:
      return Int(valueCol) != 0;
    case 2:
      return static_cast<int32_t>(Int(valueCol));
    case 3:
      return Text(valueCol);
    default:
      return std::monostate{};
  }
}

// --- Session -----------------------------------------------------------------------------

Session::Session(Engine& engine) : engine_(engine), writerLock_(engine.writer(), std::defer_lock) {
  const std::string& file = engine_.file();
  conn_ = std::make_unique<sqlite::Connection>(file, StoreOptions(BusyTimeoutMs()));
  try {
    {
      Stmt mode(*this, "PRAGMA journal_mode=WAL");
      if (!mode.Step() || mode.Text(0) != "wal")
        Fail(errors::kFail, "The store " + file + " cannot use write-ahead logging");
    }
    Exec("PRAGMA synchronous=FULL");
    history::RegisterFunctions(*this);
    if (SchemaVersion() != kSchemaVersion) Upgrade();
  } catch (const PlatformError& e) {
    for (auto& [sql, st] : cache_) sqlite3_finalize(st);
    cache_.clear();
    conn_.reset();
    if (e.number() == errors::kFail &&
        std::string(e.what()).find("no such table") != std::string::npos)
      Fail(errors::kCorrupt, "The file " + file + " is not a mailbox store of this platform");
    throw;
  }
}

int64_t Session::SchemaVersion() {
  Stmt schema(*this, "SELECT value FROM meta WHERE key = 'schema'");
  const int64_t version = schema.Step() ? schema.Int(0) : 0;
  if (version < 1)
    Fail(errors::kCorrupt,
         "The file " + engine_.file() + " is not a mailbox store of this platform");
  if (version > kSchemaVersion)
    Fail(errors::kCorrupt,
         "The store " + engine_.file() + " was made by a newer version of the platform");
  return version;
}

void Session::Upgrade() {
  // Another process may be upgrading too: the version is read again under the write lock.
  Exec("BEGIN IMMEDIATE");
  try {
    for (int64_t v = SchemaVersion(); v < kSchemaVersion; ++v) Exec(Migration(v).c_str());
    Exec("COMMIT");
  } catch (const PlatformError&) {
    conn_->ExecQuietly("ROLLBACK");
    throw;
  }
}

Session::~Session() {
  if (!levels_.empty()) RollbackOwned(levels_.front().owner);
  for (auto& [sql, st] : cache_) sqlite3_finalize(st);
}

sqlite3_stmt* Session::Prepare(const char* sql) {
  auto it = cache_.find(sql);
  if (it != cache_.end()) {
    // Statements are keyed by their text's address; a re-entrant use of the same text (one
    // query running while a nested call issues it again) would clash, so it is refused.
    if (sqlite3_stmt_busy(it->second))
      Fail(errors::kFail, std::string("store statement used re-entrantly: ") + sql);
    return it->second;
  }
  sqlite3_stmt* st = conn_->Prepare(sql, true);
  cache_.emplace(sql, st);
  return st;
}

int Session::Control(const char* sql, std::string* failure) {
  sqlite3_stmt* st = nullptr;
  try {
    st = Prepare(sql);
  } catch (const PlatformError& e) {
    if (failure) *failure = e.what();
    return SQLITE_ERROR;
  }
  int rc = sqlite3_step(st);
  if (rc == SQLITE_DONE || rc == SQLITE_ROW) rc = SQLITE_OK;
  if (rc != SQLITE_OK && failure) *failure = sqlite3_errmsg(conn_->handle());
  sqlite3_reset(st);
  return rc;
}

void Session::Exec(const char* sql) {
  conn_->Exec(sql, sql);
}

void Session::Raise(int rc, std::string_view what) {
  conn_->Raise(rc, what);
}

int64_t Session::LastInsertId() {
  return conn_->LastInsertId();
}

int Session::Changes() {
  return conn_->Changes();
}

void Session::Begin(const void* owner) {
  if (levels_.empty()) {
    writerLock_.lock();
    // The safety level is fixed before the transaction begins; SQLite refuses it within one.
    if (lazyDurability) {
      Control("PRAGMA synchronous=NORMAL");
      lazyLevel_ = true;
    }
    int rc = Control("BEGIN IMMEDIATE");
    if (rc != SQLITE_OK) {
      RestoreDurability();
      writerLock_.unlock();
      Raise(rc, "begin transaction");
    }
    try {
      // Changes only when another connection (thread or process) has committed meanwhile.
      Stmt version(*this, "PRAGMA data_version");
      const int64_t now = version.Step() ? version.Int(0) : -1;
      if (now != dataVersion_ || now < 0) ForgetCachedItems();
      dataVersion_ = now;
      journalFrom_ = history::Journaling()
                         ? ValueOr(int64_t{-1}, [&] { return history::NewestSeq(*this); })
                         : -1;
    } catch (const PlatformError&) {
      ForgetCachedItems();
      conn_->ExecQuietly("ROLLBACK");
      RestoreDurability();
      writerLock_.unlock();
      throw;
    }
  } else {
    RequireLiveTransaction();
    const size_t n = levels_.size();
    if (n < kNamedLevels) {
      if (int rc = Control(kSavepoint[n]); rc != SQLITE_OK) Raise(rc, kSavepoint[n]);
    } else {
      Exec(("SAVEPOINT s" + std::to_string(n)).c_str());
    }
  }
  levels_.push_back({owner});
}

void Session::RestoreDurability() {
  if (!lazyLevel_) return;
  Control("PRAGMA synchronous=FULL");
  lazyLevel_ = false;
}

void Session::RequireLiveTransaction() {
  // After some errors (a full disk, an I/O error) SQLite rolls the whole transaction back by
  // itself. Nothing may then run as if it were still open: a write, or a savepoint (which would
  // begin a transaction of its own), would be made durable apart from the work it belongs with.
  if (!levels_.empty() && sqlite3_get_autocommit(conn_->handle()))
    Raise(SQLITE_ABORT, "the transaction was rolled back after an error");
}

bool Session::Owns(const void* owner) const {
  for (const Level& l : levels_)
    if (l.owner == owner) return true;
  return false;
}

void Session::Commit(const void* owner) {
  for (size_t i = levels_.size(); i-- > 0;)
    if (levels_[i].owner == owner) return EndLevels(i, true);
  Fail(errors::kFail, "No transaction is active");
}

void Session::Rollback(const void* owner) {
  for (size_t i = levels_.size(); i-- > 0;)
    if (levels_[i].owner == owner) return EndLevels(i, false);
  Fail(errors::kFail, "No transaction is active");
}

void Session::RollbackOwned(const void* owner) noexcept {
  for (size_t i = 0; i < levels_.size(); ++i) {
    if (levels_[i].owner == owner) {
      try {
        EndLevels(i, false);
      } catch (...) {
        // A failed rollback leaves SQLite to discard the transaction; nothing to add here.
      }
      return;
    }
  }
}

void Session::OnEnd(std::function<void(bool committed)> hook) {
  endHooks_.push_back({levels_.empty() ? 0 : levels_.size() - 1, std::move(hook)});
}

void Session::RunHooks(std::vector<EndHook> hooks, bool committed) noexcept {
  for (EndHook& h : hooks) {
    try {
      h.run(committed);
    } catch (...) {
      // A hook's failure must not undo what the transaction already made durable.
    }
  }
}

void Session::EndLevels(size_t from, bool commit) {
  // A rollback may undo moves and creations the caches have seen.
  if (!commit) ForgetCachedItems();
  if (from == 0) {
    int rc = SQLITE_OK;
    std::string failure;
    std::vector<history::Event> journal;
    if (commit) {
      try {
        // Read under the write lock: every event after journalFrom_ is this transaction's. A
        // journal that cannot be read goes without these lines; the commit does not wait on it.
        if (journalFrom_ >= 0)
          SkipOnError([&] { history::ReadAfter(*this, journalFrom_, journal); });
        FaultPoint(Fault::kStoreCommit);
        rc = Control("COMMIT", &failure);
      } catch (const PlatformError& e) {
        rc = SQLITE_ERROR;
        failure = e.what();
      }
    }
    bool committed = commit && rc == SQLITE_OK;
    if (!committed) ForgetCachedItems();
    if (!committed && !sqlite3_get_autocommit(conn_->handle())) conn_->ExecQuietly("ROLLBACK");
    RestoreDurability();
    levels_.clear();
    writerLock_.unlock();
    // Hooks may begin transactions of their own, which collect their own hooks.
    std::vector<EndHook> hooks;
    hooks.swap(endHooks_);
    if (committed && !journal.empty()) history::Publish(journal);
    RunHooks(std::move(hooks), committed);
    if (commit && !committed)
      Fail(errors::kFail, "The store " + engine_.file() + " could not commit: " + failure);
    return;
  }
  const std::string name = "s" + std::to_string(from);
  if (commit) {
    const int rc = from < kNamedLevels ? Control(kRelease[from])
                                       : sqlite3_exec(conn_->handle(), ("RELEASE " + name).c_str(),
                                                      nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
      levels_.resize(from);
      for (EndHook& h : endHooks_)
        if (h.level >= from) h.level = from - 1;
      return;
    }
  }
  std::string sql = "ROLLBACK TO " + name + "; RELEASE " + name;
  int rc = sqlite3_exec(conn_->handle(), sql.c_str(), nullptr, nullptr, nullptr);
  levels_.resize(from);
  std::vector<EndHook> undone;
  std::erase_if(endHooks_, [&](EndHook& h) {
    if (h.level < from) return false;
    undone.push_back(std::move(h));
    return true;
  });
  RunHooks(std::move(undone), false);
  if (rc != SQLITE_OK) Raise(rc, "roll back");
  if (commit) Raise(SQLITE_ERROR, "release savepoint");
}

}  // namespace drossgate::platform::store
