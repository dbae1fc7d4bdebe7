#pragma once
// The delivery log as people and programs read it: each message's events on one line
// ("2026-12-07T10:15:02Z ada <id@example.com> delivered via lmtp; moved to Inbox/Spam"), or
// one JSON object per event; and a long-running service's part in it: every event it causes
// printed on standard error once committed, and the log pruned about once an hour.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "store/history.h"

namespace drossgate::tools {

// RFC 3339 in UTC, to the second: "2026-12-07T10:15:02Z".
std::string Rfc3339(int64_t time);
// An RFC 3339 time, or one this long ago ("90s", "15m", "1h", "2d"); nullopt when it is neither.
std::optional<int64_t> ParseSince(const std::string& text, int64_t now);

// One line per message and receiver, in the order of their first events; each line starts with
// the time of its first event, and an event more than a minute after the one before shows its
// own time.
std::vector<std::string> HistoryLines(const std::vector<platform::store::history::Event>& events);
nlohmann::ordered_json EventJson(const platform::store::history::Event& e);

// While it lives, the service's events go to standard error ("<service>: <history line>") and
// the log is pruned to its retention about once an hour.
class ServiceLog {
 public:
  explicit ServiceLog(std::string service);
  ~ServiceLog();
  ServiceLog(const ServiceLog&) = delete;
  ServiceLog& operator=(const ServiceLog&) = delete;

 private:
  void Prune();
  std::string service_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread pruner_;
};

}  // namespace drossgate::tools
