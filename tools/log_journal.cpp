#include "log_journal.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <map>
#include <tuple>

#include "cli.h"
#include "error.h"

namespace drossgate::tools {

namespace {

namespace history = platform::store::history;

// How an event reads after the message's name.
std::string Phrase(const history::Event& e) {
  const std::string detail = Printable(e.detail);
  const std::string& ev = e.event;
  if (ev == history::kDelivered) {
    std::string out = "delivered via " + detail;
    if (!e.from.empty()) out += " from " + Printable(e.from);
    return out + " (" + std::to_string(e.size) + " bytes)";
  }
  if (ev == history::kMoved) return "moved to " + detail;
  if (ev == history::kParked) return "parked to " + detail;
  if (ev == history::kForwarded) return "forwarded to " + detail;
  if (ev == history::kScl) return "SCL set to " + detail;
  if (ev == history::kReturned) return "returned to " + detail;
  if (ev == history::kRestored) return "restored to " + detail;
  if (ev == history::kSetAside) return "set aside: " + detail;
  if (ev == history::kRelayed || ev == history::kDeferred || ev == history::kBounced)
    return ev + (detail.empty() ? "" : " (" + detail + ")");
  return Printable(ev) + (detail.empty() ? "" : " " + detail);
}

}  // namespace

std::string Rfc3339(int64_t time) {
  const time_t t = static_cast<time_t>(time);
  struct tm utc {};
  char out[32] = "-";
  if (gmtime_r(&t, &utc)) std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return out;
}

std::optional<int64_t> ParseSince(const std::string& text, int64_t now) {
  int64_t amount = 0;
  char unit = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "%ld%c%n", &amount, &unit, &used) == 2 &&
      static_cast<size_t>(used) == text.size() && amount >= 0 && amount < 100000 &&
      text.find_first_not_of("0123456789smhd") == std::string::npos) {
    const std::map<char, int64_t> seconds{{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};
    if (auto it = seconds.find(unit); it != seconds.end()) return now - amount * it->second;
  }
  // 2026-12-07T10:15:02Z, 2026-12-07T10:15:02.5+01:00, a space for the T.
  struct tm tmv {};
  int year, month, day, hour, minute, second;
  char sep = 0;
  used = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &year, &month, &day, &sep, &hour,
                  &minute, &second, &used) != 7 ||
      (sep != 'T' && sep != 't' && sep != ' ') || month < 1 || month > 12 || day < 1 || day > 31 ||
      hour > 23 || minute > 59 || second > 60)
    return std::nullopt;
  std::string rest = text.substr(static_cast<size_t>(used));
  if (!rest.empty() && rest[0] == '.') {
    const size_t digits = rest.find_first_not_of("0123456789", 1);
    if (digits == 1) return std::nullopt;
    rest = digits == std::string::npos ? "" : rest.substr(digits);
  }
  int64_t offset = 0;
  if (rest == "Z" || rest == "z") {
  } else if (rest.size() == 6 && (rest[0] == '+' || rest[0] == '-') && rest[3] == ':') {
    int oh = 0, om = 0;
    if (std::sscanf(rest.c_str() + 1, "%2d:%2d", &oh, &om) != 2 || oh > 23 || om > 59)
      return std::nullopt;
    offset = (rest[0] == '+' ? 1 : -1) * (oh * 3600 + om * 60);
  } else {
    return std::nullopt;
  }
  tmv.tm_year = year - 1900;
  tmv.tm_mon = month - 1;
  tmv.tm_mday = day;
  tmv.tm_hour = hour;
  tmv.tm_min = minute;
  tmv.tm_sec = second;
  return static_cast<int64_t>(timegm(&tmv)) - offset;
}

std::vector<std::string> HistoryLines(const std::vector<history::Event>& events) {
  struct Line {
    std::string text;
    int64_t last = 0;
  };
  std::vector<Line> lines;
  std::map<std::tuple<std::string, std::string, int64_t>, size_t> byMessage;
  for (const history::Event& e : events) {
    const auto key = std::make_tuple(e.mailbox, e.messageId, e.item);
    auto [it, fresh] = byMessage.try_emplace(key, lines.size());
    if (fresh) {
      lines.push_back({Rfc3339(e.time) + " " + Printable(e.mailbox) + " <" +
                           Printable(e.messageId) + "> " + Phrase(e),
                       e.time});
      continue;
    }
    Line& line = lines[it->second];
    line.text += "; " + (e.time - line.last > 60 ? Rfc3339(e.time) + " " : "") + Phrase(e);
    line.last = e.time;
  }
  std::vector<std::string> out;
  for (Line& l : lines) out.push_back(std::move(l.text));
  return out;
}

nlohmann::ordered_json EventJson(const history::Event& e) {
  nlohmann::ordered_json j{{"seq", e.seq},         {"time", Rfc3339(e.time)},
                           {"mailbox", e.mailbox}, {"message_id", e.messageId},
                           {"event", e.event},     {"detail", e.detail}};
  if (e.event == history::kDelivered) {
    j["from"] = e.from;
    j["size"] = e.size;
  }
  return j;
}

ServiceLog::ServiceLog(std::string service) : service_(std::move(service)) {
  history::SetJournal([service = service_](const std::vector<history::Event>& events) {
    static std::mutex printing;
    std::lock_guard lock(printing);
    for (const std::string& line : HistoryLines(events))
      std::cerr << service << ": " << line << std::endl;
  });
  pruner_ = std::thread([this] { Prune(); });
}

ServiceLog::~ServiceLog() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  pruner_.join();
  history::SetJournal(nullptr);
}

void ServiceLog::Prune() {
  std::unique_lock lock(mutex_);
  do {
    lock.unlock();
    platform::SkipOnError([] {
      if (const int64_t days = history::RetentionDays())
        history::Prune(static_cast<int64_t>(std::time(nullptr)) - days * 86400);
    });
    lock.lock();
  } while (!wake_.wait_for(lock, std::chrono::hours(1), [this] { return stop_; }));
}

}  // namespace drossgate::tools
