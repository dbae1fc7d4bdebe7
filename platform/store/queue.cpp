#include "store/queue.h"

#include <cstdio>
#include <ctime>
#include <filesystem>

#include "store/engine.h"
#include "store/history.h"

namespace drossgate::platform::store::queue {

namespace {

Session& CurrentSession() {
  return Engine::ForRoot().CurrentSession();
}

Entry EntryOf(const Stmt& q) {
  return Entry{q.Text(0), q.Text(1), q.Text(2), q.Text(3), q.Text(4), q.Int(5), q.Int(6), q.Int(7)};
}

constexpr const char* kColumns =
    "SELECT file_key, receiver, file, state, detail, attempts, next_try, updated FROM queue ";

}  // namespace

std::string FileKey(const std::string& fileName, const std::string& content) {
  // FNV-1a: stable across versions and machines, which a std::hash is not promised to be.
  uint64_t hash = 14695981039346656037ULL;
  for (unsigned char c : content) hash = (hash ^ c) * 1099511628211ULL;
  char text[24];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return fileName + "/" + std::to_string(content.size()) + "/" + text;
}

std::optional<Entry> Get(const std::string& fileKey, const std::string& receiver) {
  static const std::string sql = std::string(kColumns) + "WHERE file_key = ?1 AND receiver = ?2";
  Stmt q(CurrentSession(), sql.c_str());
  q.Bind(1, fileKey).Bind(2, receiver);
  if (!q.Step()) return std::nullopt;
  return EntryOf(q);
}

std::vector<Entry> List(const std::string& fileKey) {
  static const std::string all = std::string(kColumns) + "ORDER BY updated, file_key, receiver";
  static const std::string one =
      std::string(kColumns) + "WHERE file_key = ?1 ORDER BY updated, receiver";
  Stmt q(CurrentSession(), fileKey.empty() ? all.c_str() : one.c_str());
  if (!fileKey.empty()) q.Bind(1, fileKey);
  std::vector<Entry> out;
  while (q.Step()) out.push_back(EntryOf(q));
  return out;
}

namespace {

// The delivery log's event for a receiver that goes from before to after; nullptr for none.
const char* Transition(const std::optional<Entry>& before, const Entry& after, bool refused) {
  if (after.state == kRelayed && (!before || before->state != kRelayed)) return history::kRelayed;
  if (after.state == kSetAside && (!before || before->state != kSetAside))
    return refused ? history::kBounced : history::kSetAside;
  if (after.state == kWaiting && after.attempts > 0 &&
      (!before || before->attempts != after.attempts))
    return history::kDeferred;
  return nullptr;
}

}  // namespace

void Put(Entry e, const Origin& origin) {
  Session& s = CurrentSession();
  Txn t(s);
  if (s.engine().logRetentionDays() > 0)
    if (const char* event = Transition(Get(e.fileKey, e.receiver), e, origin.refused)) {
      Stmt q(s,
             "INSERT INTO delivery_log(time, mailbox, message_id, event, detail, item) "
             "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
      q.Bind(1, static_cast<int64_t>(std::time(nullptr)))
          .Bind(2, e.receiver)
          .Bind(3, origin.messageId)
          .Bind(4, std::string_view(event))
          .Bind(5, e.detail);
      if (origin.item) q.Bind(6, origin.item);
      q.Run();
    }
  Stmt(s,
       "INSERT INTO queue(file_key, receiver, file, state, detail, attempts, next_try, updated) "
       "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) ON CONFLICT(file_key, receiver) DO UPDATE SET "
       "file = excluded.file, state = excluded.state, detail = excluded.detail, "
       "attempts = excluded.attempts, next_try = excluded.next_try, updated = excluded.updated")
      .Bind(1, e.fileKey)
      .Bind(2, e.receiver)
      .Bind(3, e.file)
      .Bind(4, e.state)
      .Bind(5, e.detail)
      .Bind(6, e.attempts)
      .Bind(7, e.nextTry)
      .Bind(8, static_cast<int64_t>(std::time(nullptr)))
      .Run();
  t.Commit();
}

void Forget(const std::string& fileKey) {
  Session& s = CurrentSession();
  Txn t(s);
  Stmt(s, "DELETE FROM queue WHERE file_key = ?1").Bind(1, fileKey).Run();
  t.Commit();
}

void Prune(int64_t updatedBefore) {
  std::vector<std::string> stale;
  for (const Entry& e : List()) {
    std::error_code ec;
    if (e.updated < updatedBefore && !std::filesystem::exists(e.file, ec))
      stale.push_back(e.fileKey);
  }
  for (const std::string& key : stale) Forget(key);
}

}  // namespace drossgate::platform::store::queue
