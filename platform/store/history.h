#pragma once
// The delivery log: what became of each delivered message, one row per change, written in the
// store transaction of the change itself (by admin::Deliver, the pickup side, the property writer
// and triggers on the items), so that it never claims what was rolled back and misses nothing a
// kill cut short. Reads and prunes raise PlatformError when the store fails.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace drossgate::platform::store {
class Session;
}

namespace drossgate::platform::store::history {

// The events, as the table and the JSON output name them.
inline constexpr const char* kDelivered = "delivered";  // detail: how (deliver, lmtp, pickup)
inline constexpr const char* kMoved = "moved";          // detail: the folder's path
inline constexpr const char* kDeleted = "deleted";
inline constexpr const char* kParked = "parked";        // detail: delete or forward
inline constexpr const char* kForwarded = "forwarded";  // detail: the address
inline constexpr const char* kScl = "scl";              // detail: the new level
inline constexpr const char* kReturned = "returned";    // detail: the inbox's path
inline constexpr const char* kRestored = "restored";    // detail: the inbox's path
inline constexpr const char* kSetAside = "set-aside";   // detail: the reason
inline constexpr const char* kRelayed = "relayed";      // detail: the server's reply
inline constexpr const char* kDeferred = "deferred";    // detail: the server's reply
inline constexpr const char* kBounced = "bounced";      // detail: the server's reply

struct Event {
  int64_t seq = 0;
  int64_t time = 0;       // Unix time
  std::string mailbox;    // the mailbox's alias; a receiver's address for the pickup side's events
  std::string messageId;  // without the angle brackets; empty when the message has none
  std::string event;
  std::string detail;
  int64_t item = 0;  // the store item it happened to; 0 when none
  std::string from;  // delivered only: the message's From address
  int64_t size = 0;  // delivered only: the source's bytes
};

struct Query {
  std::string mailbox;    // alias or address as the log has it, without regard to case
  std::string messageId;  // with or without angle brackets
  int64_t since = 0;      // Unix time: events at or after it
  int64_t afterSeq = 0;   // events written after this one
};
// Oldest first.
std::vector<Event> Read(const Query& query);

// Removes the events before the Unix time olderThan, but a message's delivered event while the
// message is still in the store, so that later changes to it are still recorded. Returns the
// number removed.
int64_t Prune(int64_t olderThan);
// How long the log keeps events: machine.json "log": {"retention_days": N} (default 30; 0 turns
// the log off), read once per process and store.
int64_t RetentionDays();

// A process that keeps a journal gets each committed transaction's events, once its commit is
// durable, on the thread that committed it.
using Journal = std::function<void(const std::vector<Event>&)>;
void SetJournal(Journal journal);

// Marks what this thread's store changes are while it lives: a parked message put back by the
// administrator (restored, not returned) or a forward handed on (its removal is no deletion).
class Context {
 public:
  explicit Context(const char* what);
  ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

 private:
  Session& session_;
  const char* previous_;
};

}  // namespace drossgate::platform::store::history
