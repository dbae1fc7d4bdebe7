#pragma once
// The pickup service's bookkeeping in store.db: one entry per (pickup file, receiver) saying
// what became of that receiver. An entry written on the thread of an open admin::Batch joins
// its transaction, so a delivery and the entry that records it are durable together or not at
// all: after a kill, a retry skips exactly what was done. Failures raise PlatformError.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace drossgate::platform::store::queue {

// The states of a receiver. Delivered, relayed and set aside are final; a waiting receiver is
// tried again from nextTry on.
inline constexpr const char* kDelivered = "delivered";
inline constexpr const char* kRelayed = "relayed";
inline constexpr const char* kWaiting = "waiting";
inline constexpr const char* kSetAside = "set-aside";

struct Entry {
  std::string fileKey;   // the file's name and a hash of its content (FileKey)
  std::string receiver;  // the receiver's address, lower case
  std::string file;      // where the file is now
  std::string state;
  std::string detail;  // the delivered item's URL, the relay's last reply, or why set aside
  int64_t attempts = 0;
  int64_t nextTry = 0;  // Unix time
  int64_t updated = 0;  // Unix time; set by Put
};

// The key of a pickup file: its name and a hash of its bytes, so that a file found again after
// a crash is the same entry, and another file that happens to take its name is not.
std::string FileKey(const std::string& fileName, const std::string& content);

// What the delivery log records with a receiver's change of state (relayed, deferred after an
// attempt, set aside, or bounced when a server refused it for good): the message's Message-ID
// and the parked forward it hands on (0: none).
struct Origin {
  std::string messageId;
  int64_t item = 0;
  bool refused = false;
};

std::optional<Entry> Get(const std::string& fileKey, const std::string& receiver);
std::vector<Entry> List(const std::string& fileKey = "");
void Put(Entry entry, const Origin& origin = {});
void Forget(const std::string& fileKey);
// Forgets entries not updated since before the given Unix time whose file no longer exists.
void Prune(int64_t updatedBefore);

}  // namespace drossgate::platform::store::queue
