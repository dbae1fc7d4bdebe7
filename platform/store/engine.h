#pragma once
// The store engine: one per store.db per process, one SQLite connection (a session) per thread.
// A thread's transactions nest: the outermost takes the process-wide writer lock and runs
// BEGIN IMMEDIATE, inner levels are savepoints, so calls made on a thread inside its own
// transaction join it. Every SQLite failure raises PlatformError naming the store file.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sqlite_db.h"
#include "store/store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace drossgate::platform::store {

class Session;

// Schema of store.db (version 6; older files are upgraded when first opened):
//   meta(key, value)                 'schema' = 6; 'reg_generation' goes up whenever an event
//                                    registration (or the mailbox list) changes, so each
//                                    process re-reads its cached registrations only then;
//                                    'uid_validity' is the last UIDVALIDITY given to a folder.
//   items(id, parent, kind, name, name_key, mailbox, is_reg, reg_refused, source, created,
//         log_seq)
//                                    the whole namespace as one tree: the top, domains, MBX
//                                    containers, mailbox roots, folders and items. id is never
//                                    given twice (AUTOINCREMENT), so an id read earlier names
//                                    that item or nothing. name_key is the ASCII-lower name
//                                    (UNIQUE per parent); mailbox is the root of the mailbox
//                                    holding the item; source is a message's bytes; created is
//                                    the Unix time of creation (0: unknown, from version 1);
//                                    log_seq a delivered message's delivered row in the log.
//   properties(item, name_key, position, name, type, value)
//                                    typed properties, name as written, name_key canonical,
//                                    position the order of first writing; type 0 null,
//                                    1 Boolean, 2 32-bit integer, 3 text.
//   stores(id, name, name_key, mbx, system_mailbox)      mailbox stores and their MBX node.
//   mailboxes(root, alias, alias_key, store, is_system)  mailbox roots.
//   addresses(address_key, address, mailbox, position)   SMTP addresses, primary first.
//   special_folders(mailbox, property, item)             inbox, outbox, ... of each mailbox.
//   name_seq(parent, base_key, next)                     next "-N" suffix for item names.
//   mail_folders(folder, uid_validity, uid_next)
//                                    one row per folder item (kind 4): its UIDVALIDITY (new for
//                                    every folder made, so a folder made anew under an old name
//                                    differs) and the UID its next message gets.
//   uids(item, folder, uid)          the UID of each message (kind 5) in a folder, UNIQUE per
//                                    folder. Triggers on items keep both tables: a message
//                                    inserted, moved to another parent or given a new source
//                                    gets the folder's next UID in that same statement's
//                                    transaction, whichever path did it; deletes drop the rows.
//   queue(file_key, receiver, file, state, detail, attempts, next_try, updated)
//                                    what the pickup service did with each receiver of a file,
//                                    written in the transaction of the delivery it records.
//   delivery_log(seq, time, mailbox, message_id, event, detail, item, sender, size)
//                                    what became of each delivered message (history.h): the
//                                    delivered row written by admin::Deliver, moves and
//                                    deletes by triggers on items for items that have one
//                                    (calling the SQL functions each session registers), SCL
//                                    changes by WriteProperty. seq
//                                    only grows: a prune that removes the highest leaves an
//                                    empty marker (event '') in its place.
enum ItemKind : int {
  kTop = 0,
  kDomain = 1,
  kContainer = 2,
  kMailboxRoot = 3,
  kFolder = 4,
  kItem = 5
};

struct ItemRow {
  int64_t id = 0;
  int64_t parent = 0;  // 0 for the top
  int kind = kItem;
  std::string name;
  int64_t mailbox = 0;  // root of the mailbox holding it; 0 above the mailboxes
  bool isReg = false;
  bool regRefused = false;
  bool IsFolder() const { return kind != kItem; }
  // Folders and items below a mailbox root can be created, moved and deleted by clients.
  bool InMailbox() const { return kind == kFolder || kind == kItem; }
};

class Engine {
 public:
  // The engine of the current platform root's store.db; raises when it does not exist.
  static Engine& ForRoot();
  // The engine of dbFile; create makes the file with the schema when it does not exist.
  static Engine& ForFile(const std::filesystem::path& dbFile, bool create);

  // This thread's session (opened on first use).
  Session& CurrentSession();
  const std::string& file() const { return file_; }
  std::mutex& writer() { return writer_; }
  // machine.json's log.retention_days as this process first read it; 0: the log is off.
  int64_t logRetentionDays() const { return logRetentionDays_; }

  explicit Engine(std::string file);

 private:
  std::string file_;
  std::mutex writer_;
  int64_t logRetentionDays_;
};

namespace history {
struct Event;
// The delivery log's part in every session (history.cpp): the SQL functions its triggers call,
// and the events a journaling process is handed after each commit.
void RegisterFunctions(Session& s);
bool Journaling();
int64_t NewestSeq(Session& s);
void ReadAfter(Session& s, int64_t seq, std::vector<Event>& out);
// An event of a delivered message, as its delivered row names it; nothing for another item.
void Record(Session& s, int64_t item, const char* event, const std::string& detail);
void Publish(const std::vector<Event>& events) noexcept;
}  // namespace history

// A prepared statement from the session's cache, reset (and unbound) on destruction.
// Every step first checks that the session's transaction is still the one it began.
class Stmt {
 public:
  Stmt(Session& s, const char* sql);

  Stmt& Bind(int index, int64_t v) { return st_.Bind(index, v), *this; }
  Stmt& Bind(int index, std::string_view text) { return st_.Bind(index, text), *this; }
  Stmt& BindBlob(int index, std::string_view bytes) { return st_.BindBlob(index, bytes), *this; }
  Stmt& BindNull(int index) { return st_.BindNull(index), *this; }
  // A property value with its type code into two parameters.
  Stmt& BindValue(int typeIndex, int valueIndex, const Value& v);

  bool Step();  // true while there is a row
  void Run();   // steps to the end
  int64_t Int(int col) const { return st_.Int(col); }
  std::string Text(int col) const { return st_.Text(col); }  // text or blob bytes
  bool IsNull(int col) const { return st_.IsNull(col); }
  Value ValueAt(int typeCol, int valueCol) const;

 private:
  Session& s_;
  sqlite::Statement st_;
};

// Item rows, URLs and folder paths read inside a session's write transactions (folders keyed
// by their case-folded path). They are used only inside one, where no other writer can change
// anything, and survive from one to the next until another connection commits (seen at the
// next Begin), the session moves, deletes or re-marks an item, or a level rolls back.
class ItemCache {
 public:
  using SpecialFolders = std::vector<std::pair<std::string, int64_t>>;
  const ItemRow* Row(int64_t id) const { return Find(rows_, id); }
  void RememberRow(const ItemRow& row) { Remember(rows_, row.id, row); }
  const std::string* Url(int64_t id) const { return Find(urls_, id); }
  void RememberUrl(int64_t id, const std::string& url) { Remember(urls_, id, url); }
  const ItemRow* Folder(const std::string& pathKey) const { return Find(folders_, pathKey); }
  void RememberFolder(const std::string& pathKey, const ItemRow& row) {
    Remember(folders_, pathKey, row);
  }
  const SpecialFolders* Special(int64_t mailbox) const { return Find(special_, mailbox); }
  void RememberSpecial(int64_t mailbox, const SpecialFolders& folders) {
    Remember(special_, mailbox, folders);
  }
  void Forget() {
    rows_.clear();
    urls_.clear();
    folders_.clear();
    special_.clear();
  }
  // A message has nothing below it: only its own entries go.
  void Forget(const ItemRow& row) {
    if (row.IsFolder()) return Forget();
    rows_.erase(row.id);
    urls_.erase(row.id);
  }

 private:
  static constexpr size_t kMaxEntries = 4096;
  template <class Map, class Key>
  static const typename Map::mapped_type* Find(const Map& map, const Key& key) {
    auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
  }
  template <class Map, class Key, class Value>
  static void Remember(Map& map, const Key& key, const Value& value) {
    if (map.size() >= kMaxEntries) map.clear();
    map.emplace(key, value);
  }
  std::unordered_map<int64_t, ItemRow> rows_;
  std::unordered_map<int64_t, std::string> urls_;
  std::unordered_map<std::string, ItemRow> folders_;
  std::unordered_map<int64_t, SpecialFolders> special_;
};

class Session {
 public:
  explicit Session(Engine& engine);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  Engine& engine() { return engine_; }
  sqlite::Connection& connection() { return *conn_; }
  // A statement from the session's cache (prepared once, kept for the session's life).
  sqlite3_stmt* Prepare(const char* sql);
  void Exec(const char* sql);
  [[noreturn]] void Raise(int rc, std::string_view what);
  int64_t LastInsertId();
  int Changes();

  // Transactions. owner identifies who began a level (a Connection, a Txn guard). Committing
  // or rolling back a level does the same to the levels above it.
  size_t Depth() const { return levels_.size(); }
  void Begin(const void* owner);
  // Raises when SQLite has ended the open transaction by itself after an error.
  void RequireLiveTransaction();
  void Commit(const void* owner);
  void Rollback(const void* owner);
  bool Owns(const void* owner) const;
  // Rolls back the lowest level owner began, if any (Connection::Close).
  void RollbackOwned(const void* owner) noexcept;

  // Work for the end of the transaction, run once on this thread after the writer lock is
  // released: with true when the outermost level commits, with false when it, or the level
  // open now, rolls back. Hooks run in the order they were added; they must not throw.
  void OnEnd(std::function<void(bool committed)> hook);

  // Items whose event is being delivered to a sink right now (their Fields::Update is no
  // client save), and how deep sink-made saves nest.
  std::multiset<int64_t> running;
  int dispatchDepth = 0;
  // Set while sinks run after a save: transactions begun then commit without waiting for a
  // sync of their own (synchronous=NORMAL), as losing them can only leave the save's state.
  bool lazyDurability = false;
  // What this thread's changes are to the delivery log's triggers (history::Context).
  const char* logContext = "";

  // The session's item cache, only inside a write transaction (nullptr outside one).
  ItemCache* cache() { return levels_.empty() ? nullptr : &items_; }
  void ForgetCachedItems() { items_.Forget(); }
  void ForgetCachedItem(const ItemRow& row) { items_.Forget(row); }

 private:
  struct Level {
    const void* owner;
  };
  int64_t SchemaVersion();
  void RestoreDurability();
  // Runs a transaction control statement, prepared once per session (they run several times
  // per delivery); returns SQLite's code, with its message in failure when given.
  int Control(const char* sql, std::string* failure = nullptr);
  void Upgrade();
  void EndLevels(size_t from, bool commit);
  struct EndHook {
    size_t level;  // the level open when it was added
    std::function<void(bool)> run;
  };
  static void RunHooks(std::vector<EndHook> hooks, bool committed) noexcept;

  Engine& engine_;
  std::unique_ptr<sqlite::Connection> conn_;
  std::unordered_map<const char*, sqlite3_stmt*> cache_;
  std::vector<Level> levels_;
  std::vector<EndHook> endHooks_;
  ItemCache items_;
  std::unique_lock<std::mutex> writerLock_;
  int64_t dataVersion_ = -1;
  bool lazyLevel_ = false;    // the open transaction commits without its own sync
  int64_t journalFrom_ = -1;  // the newest log event when the transaction began; -1: none kept
};

// A transaction level for one store operation; rolled back unless committed.
class Txn {
 public:
  explicit Txn(Session& s) : s_(s) { s_.Begin(this); }
  ~Txn() {
    if (!done_) s_.RollbackOwned(this);
  }
  Txn(const Txn&) = delete;
  Txn& operator=(const Txn&) = delete;
  // Ends the level; on failure it is rolled back and the error raised.
  void Commit() {
    done_ = true;
    s_.Commit(this);
  }

 private:
  Session& s_;
  bool done_ = false;
};

}  // namespace drossgate::platform::store
