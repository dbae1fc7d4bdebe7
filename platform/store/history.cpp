#include "store/history.h"

#include <sqlite3.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "error.h"
#include "store/engine.h"
#include "store/items.h"
#include "text.h"

namespace drossgate::platform::store::history {

namespace {

Session& CurrentSession() {
  return Engine::ForRoot().CurrentSession();
}

constexpr const char* kColumns =
    "SELECT seq, time, mailbox, message_id, event, detail, COALESCE(item, 0), "
    "COALESCE(sender, ''), COALESCE(size, 0) FROM delivery_log ";

Event EventOf(const Stmt& q) {
  return Event{q.Int(0),  q.Int(1), q.Text(2), q.Text(3), q.Text(4),
               q.Text(5), q.Int(6), q.Text(7), q.Int(8)};
}

std::mutex gJournalMutex;
std::shared_ptr<const Journal> gJournal;
std::atomic<bool> gJournaling{false};

Session& SessionOf(sqlite3_context* ctx) {
  return *static_cast<Session*>(sqlite3_user_data(ctx));
}

void LogOn(sqlite3_context* ctx, int, sqlite3_value**) {
  sqlite3_result_int(ctx, SessionOf(ctx).engine().logRetentionDays() > 0);
}

void LogContext(sqlite3_context* ctx, int, sqlite3_value**) {
  sqlite3_result_text(ctx, SessionOf(ctx).logContext, -1, SQLITE_STATIC);
}

// "Inbox/Spam": the names of the folders from the mailbox root down to the item.
void FolderPath(sqlite3_context* ctx, int, sqlite3_value** args) {
  try {
    Session& s = SessionOf(ctx);
    std::string path;
    int64_t id = sqlite3_value_int64(args[0]);
    // The rows come from the transaction's cache, where the move that called this found them.
    for (int depth = 0; id && depth < 256; ++depth) {
      const std::optional<ItemRow> row = GetItem(s, id);
      if (!row || row->kind != kFolder) break;
      path = row->name + (path.empty() ? "" : "/") + path;
      id = row->parent;
    }
    sqlite3_result_text(ctx, path.c_str(), static_cast<int>(path.size()), SQLITE_TRANSIENT);
  } catch (const std::exception& e) {
    sqlite3_result_error(ctx, e.what(), -1);
  }
}

}  // namespace

void RegisterFunctions(Session& s) {
  using Function = void (*)(sqlite3_context*, int, sqlite3_value**);
  const struct {
    const char* name;
    int args;
    Function run;
  } functions[] = {{"drossgate_log_on", 0, LogOn},
                   {"drossgate_log_context", 0, LogContext},
                   {"drossgate_folder_path", 1, FolderPath}};
  for (const auto& f : functions)
    if (int rc = sqlite3_create_function_v2(s.connection().handle(), f.name, f.args, SQLITE_UTF8,
                                            &s, f.run, nullptr, nullptr, nullptr))
      s.Raise(rc, "register the delivery log's functions");
}

bool Journaling() {
  return gJournaling.load(std::memory_order_relaxed);
}

int64_t NewestSeq(Session& s) {
  Stmt q(s, "SELECT COALESCE(MAX(seq), 0) FROM delivery_log");
  return q.Step() ? q.Int(0) : 0;
}

void ReadAfter(Session& s, int64_t seq, std::vector<Event>& out) {
  static const std::string sql =
      std::string(kColumns) + "WHERE seq > ?1 AND event <> '' ORDER BY seq";
  Stmt q(s, sql.c_str());
  q.Bind(1, seq);
  while (q.Step()) out.push_back(EventOf(q));
}

void Record(Session& s, int64_t item, const char* event, const std::string& detail) {
  if (s.engine().logRetentionDays() <= 0) return;
  Stmt delivered(s,
                 "SELECT mailbox, message_id FROM delivery_log "
                 "WHERE seq = (SELECT log_seq FROM items WHERE id = ?1)");
  delivered.Bind(1, item);
  if (!delivered.Step()) return;  // not a delivered message, or delivered while the log was off
  Stmt(s,
       "INSERT INTO delivery_log(time, mailbox, message_id, event, detail, item) "
       "VALUES (unixepoch(), ?1, ?2, ?3, ?4, ?5)")
      .Bind(1, delivered.Text(0))
      .Bind(2, delivered.Text(1))
      .Bind(3, std::string_view(event))
      .Bind(4, detail)
      .Bind(5, item)
      .Run();
}

void Publish(const std::vector<Event>& events) noexcept {
  std::shared_ptr<const Journal> journal;
  {
    std::lock_guard lock(gJournalMutex);
    journal = gJournal;
  }
  try {
    if (journal && *journal) (*journal)(events);
  } catch (...) {
    // A journal that cannot be written must not fail what the store has made durable.
  }
}

void SetJournal(Journal journal) {
  std::lock_guard lock(gJournalMutex);
  gJournaling = static_cast<bool>(journal);
  gJournal = journal ? std::make_shared<const Journal>(std::move(journal)) : nullptr;
}

std::vector<Event> Read(const Query& query) {
  static const std::string sql =
      std::string(kColumns) +
      "WHERE seq > ?1 AND event <> '' AND time >= ?2 AND (?3 = '' OR lower(mailbox) = ?3) "
      "AND (?4 = '' OR message_id = ?4) ORDER BY seq";
  std::string id = text::Trim(query.messageId);
  if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
  Stmt q(CurrentSession(), sql.c_str());
  q.Bind(1, query.afterSeq)
      .Bind(2, query.since)
      .Bind(3, text::ToLower(text::Trim(query.mailbox)))
      .Bind(4, id);
  std::vector<Event> out;
  while (q.Step()) out.push_back(EventOf(q));
  return out;
}

int64_t Prune(int64_t olderThan) {
  Session& s = CurrentSession();
  Txn t(s);
  const int64_t newest = NewestSeq(s);
  Stmt(s,
       "DELETE FROM delivery_log WHERE time < ?1 AND NOT (event = 'delivered' AND "
       "EXISTS (SELECT 1 FROM items WHERE items.id = delivery_log.item))")
      .Bind(1, olderThan)
      .Run();
  const int64_t removed = s.Changes();
  // A new row takes the number after the highest left; an empty marker at the old highest keeps
  // the numbers growing, so that a follower never takes a new event for one it has shown.
  if (NewestSeq(s) < newest)
    Stmt(s,
         "INSERT INTO delivery_log(seq, time, mailbox, message_id, event, detail) "
         "VALUES (?1, ?2, '', '', '', '')")
        .Bind(1, newest)
        .Bind(2, olderThan)
        .Run();
  t.Commit();
  return removed;
}

int64_t RetentionDays() {
  return Engine::ForRoot().logRetentionDays();
}

Context::Context(const char* what) : session_(CurrentSession()), previous_(session_.logContext) {
  session_.logContext = what;
}

Context::~Context() {
  session_.logContext = previous_;
}

}  // namespace drossgate::platform::store::history
