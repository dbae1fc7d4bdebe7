// log [--mailbox M] [--message-id ID] [--since TIME] [--follow] [--json], log prune: where each
// delivered message went, from the store's delivery log (store/history.h).
#include <chrono>
#include <iostream>
#include <memory>
#include <thread>

#include "cli.h"
#include "listen.h"
#include "log_journal.h"
#include "store/history.h"

namespace drossgate::tools {

namespace {

namespace history = platform::store::history;

struct LogOptions {
  history::Query query;
  std::string since;
  bool follow = false;
  bool json = false;
};

void Print(const std::vector<history::Event>& events, bool json) {
  if (json) {
    for (const history::Event& e : events) std::cout << DumpJson(EventJson(e)) << "\n";
  } else {
    for (const std::string& line : HistoryLines(events)) std::cout << line << "\n";
  }
  std::cout << std::flush;
}

void ShowLog(LogOptions& o) {
  Root();
  if (!o.since.empty()) {
    auto since = ParseSince(o.since, static_cast<int64_t>(std::time(nullptr)));
    if (!since)
      throw UsageError(
          "--since takes an RFC 3339 time (2026-12-07T10:15:02Z) or an age such as "
          "90s, 15m, 1h or 2d, not \"" +
          o.since + "\"");
    o.query.since = *since;
  }
  if (o.follow) CatchStopSignals();
  do {
    const auto events = history::Read(o.query);
    if (!events.empty()) {
      o.query.afterSeq = events.back().seq;
      Print(events, o.json);
    }
    for (int i = 0; o.follow && i < 5 && !Stopping(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (o.follow && !Stopping());
}

}  // namespace

void AddLogCommands(CLI::App& app) {
  auto o = std::make_shared<LogOptions>();
  auto* cmd = app.add_subcommand("log", "Where each delivered message went: the delivery log");
  cmd->add_option("--mailbox", o->query.mailbox, "only this mailbox (alias) or receiver address");
  cmd->add_option("--message-id", o->query.messageId, "only this Message-ID (<> optional)");
  cmd->add_option("--since", o->since,
                  "only events since an RFC 3339 time, or 90s, 15m, 1h, 2d ago");
  cmd->add_flag("--follow", o->follow, "keep printing new events as they happen, until stopped");
  cmd->add_flag("--json", o->json, "one JSON object per event");
  cmd->footer(
      "Each line is one message in one mailbox (or one receiver the pickup service sent it to), "
      "oldest first: the time of its first event, the mailbox, the Message-ID and its events "
      "joined by \"; \"; an event more than a minute after the one before it shows its own "
      "time. With --follow, the events of each new moment get lines of their own. With --json "
      "each event is an object with seq, time (RFC 3339, UTC), mailbox, message_id, event "
      "(delivered, moved, deleted, parked, forwarded, scl, returned, restored, set-aside, "
      "relayed, deferred, bounced) and detail (how it came, the folder's path, the address, "
      "the level, the reply or the reason; empty where there is none); a delivered event has "
      "from and size too.\nmachine.json \"log\": {\"retention_days\": N} keeps N days (default "
      "30; 0 records nothing). Exit status: 0, 1 when the store cannot be read, 2 for bad "
      "input.");
  auto* prune = cmd->add_subcommand("prune", "Remove the events older than the retention");
  auto days = std::make_shared<int64_t>(-1);
  prune->add_option("--older-than", *days, "DAYS (default: machine.json log.retention_days)")
      ->check(CLI::Range(int64_t{0}, int64_t{36500}));
  prune->callback([days] {
    Root();
    const int64_t keep = *days >= 0 ? *days : history::RetentionDays();
    const int64_t removed = history::Prune(static_cast<int64_t>(std::time(nullptr)) - keep * 86400);
    std::cout << DumpJson({{"removed", removed}}) << std::endl;
  });
  cmd->callback([o, prune] {
    if (!prune->parsed()) ShowLog(*o);
  });
}

}  // namespace drossgate::tools
