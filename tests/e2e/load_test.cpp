// Many deliveries at once into mailboxes filtered by the sink: every message is where its rule
// puts it, once. DROSSGATE_LOAD_MESSAGES and DROSSGATE_RACE_MESSAGES set the numbers of messages.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <optional>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "error.h"
#include "sink_root.h"

namespace drossgate::testing {
namespace {

namespace fs = std::filesystem;
namespace admin = platform::store::admin;

const char* const kSclField = "http://schemas.microsoft.com/mapi/proptag/0x40760003";

// Each message's X-Kind header picks one of these; "place" is where it must end: a folder
// below its mailbox root, one of another mailbox when it begins with "/", "" for a delete.
struct Kind {
  const char* name;
  const char* action;  // nullptr: no rule matches
  const char* place;
};

const Kind kKinds[] = {
    {"a", "inbox/Sorted/A", "Inbox/Sorted/A"},
    {"b", "B", "B"},
    {"c", "Archive/C", "Archive/C"},
    {"plain", nullptr, "Inbox"},
    {"grade", "+4", "Inbox"},
    {"drop", "[Null]", ""},
    {"report", "Abuse Desk <abuse@elsewhere.example>", "/abuse/Inbox"},
};
constexpr int kKindCount = static_cast<int>(std::size(kKinds));
constexpr int kDrop = 5;

std::string Source(int i, int kind) {
  return "From: sender" + std::to_string(i) + "@example.net\r\nSubject: load " + std::to_string(i) +
         "\r\nX-Load-Id: " + std::to_string(i) + "\r\nX-Kind: " + kKinds[kind].name +
         "\r\n\r\nbody " + std::to_string(i) + "\r\n";
}

// The X-Load-Id of a message source, or -1.
int LoadId(const std::string& text) {
  const size_t at = text.find("\r\nX-Load-Id: ");
  return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + 13);
}

int EnvCount(const char* name, int fallback) {
  const char* env = std::getenv(name);
  const int n = env ? std::atoi(env) : 0;
  return n > 0 ? n : fallback;
}

// Hands the forwards on (the pickup service run to the end), then finds every copy of messages
// 0..n-1 in the mailboxes and the pickup folder and checks each against the place its kind
// names; message i went to mailbox aliasOf(i). Returns how many are lost, doubled or misplaced.
int Account(const SinkRoot& root, int n, const std::function<std::string(int)>& aliasOf,
            const std::function<int(int)>& kindOf) {
  root.Tool({"smtp", "--once"});
  std::vector<std::vector<std::string>> places(n);
  std::set<std::string> aliases{"abuse"};
  for (int i = 0; i < n; ++i) aliases.insert(aliasOf(i));
  for (const std::string& alias : aliases) {
    const std::string mailbox = kMbxUrl + alias;
    for (const auto& item : admin::List(mailbox, true)) {
      if (item.folder || item.contentClass == "urn:content-class:storeeventreg") continue;
      const int id = LoadId(admin::Source(item.url));
      if (id < 0 || id >= n) {
        ADD_FAILURE() << "stray item " << item.url;
        continue;
      }
      places[id].push_back(alias +
                           item.url.substr(mailbox.size(), item.url.rfind('/') - mailbox.size()) +
                           (item.hidden ? " (hidden)" : ""));
      if (std::string(kKinds[kindOf(id)].name) == "grade") {
        auto record = platform::store::OpenRecord(item.url, nullptr, platform::store::Mode::kRead);
        EXPECT_EQ(platform::store::ValueText(record->GetFields().Get(kSclField)), "4") << item.url;
      }
    }
  }
  for (const auto& e : fs::recursive_directory_iterator(root.pickup()))
    if (!e.is_directory()) ADD_FAILURE() << "pickup file left " << e.path();

  int wrong = 0;
  for (int i = 0; i < n; ++i) {
    const Kind& kind = kKinds[kindOf(i)];
    const std::string place = kind.place;
    std::vector<std::string> expected;
    if (!place.empty())
      expected.push_back(place[0] == '/' ? place.substr(1) : aliasOf(i) + "/" + place);
    if (places[i] != expected && ++wrong <= 10)
      ADD_FAILURE() << "message " << i << " (" << kind.name << ") is at "
                    << ::testing::PrintToString(places[i]) << ", not at "
                    << ::testing::PrintToString(expected);
  }
  EXPECT_EQ(wrong, 0);
  return wrong;
}

// Runs work(0) to work(count - 1) on as many threads at once; each returns what failed, or "".
// Returns the seconds they took together.
double RunWorkers(int count, const std::function<std::string(int)>& work) {
  std::vector<std::string> failures(count);
  std::vector<std::thread> workers;
  const auto start = std::chrono::steady_clock::now();
  for (int w = 0; w < count; ++w) workers.emplace_back([&, w] { failures[w] = work(w); });
  for (auto& t : workers) t.join();
  for (const auto& f : failures) EXPECT_EQ(f, "");
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Four delivering threads in this process and two delivering processes at once, into 50
// mailboxes filtered through a store-wide registration and, for some mailboxes, their own too.
TEST(Load, EveryMessageAccountedForOnce) {
  constexpr int kMailboxes = 50;
  constexpr int kThreads = 4;
  constexpr int kProcesses = 2;
  const int n = EnvCount("DROSSGATE_LOAD_MESSAGES", 2000);
  auto alias = [](int i) { return "user" + std::to_string(i % kMailboxes); };
  auto kindOf = [](int i) { return i % kKindCount; };
  TempDir dir;
  SinkRoot root(dir.path() / "root");
  for (int m = 0; m < kMailboxes; ++m) admin::AddMailbox(alias(m), {alias(m) + "@example.com"});
  admin::AddMailbox("abuse", {"abuse@elsewhere.example"});
  root.Install(RulesByHeader(kKinds, "X-Kind"));
  root.RegisterStoreWide();
  // Some mailboxes also have their own: the sink must still run once per message.
  for (int m = 0; m < kMailboxes; m += 5) root.RegisterInbox(alias(m));

  // A process delivers into one mailbox, so each process worker runs one per mailbox in turn.
  auto processWorker = [&](int p) -> std::string {
    const fs::path files = dir.path() / ("worker" + std::to_string(p));
    fs::create_directory(files);
    for (int m = 0; m < kMailboxes; ++m) {
      std::vector<std::string> args{"deliver", "--to", alias(m)};
      for (int i = m; i < n; i += kMailboxes) {
        if (i % (kThreads + kProcesses) != p) continue;
        args.push_back((files / (std::to_string(i) + ".eml")).string());
        WriteFile(args.back(), Source(i, kindOf(i)));
      }
      if (args.size() == 3) continue;
      ProcessResult r = root.Run(args);
      if (r.exitCode != 0) return "deliver --to " + alias(m) + ": " + r.err;
    }
    return "";
  };
  const double seconds = RunWorkers(kThreads + kProcesses, [&](int w) -> std::string {
    if (w >= kThreads) return processWorker(w);
    for (int i = w; i < n; i += kThreads + kProcesses) {
      try {
        admin::Deliver(alias(i), Source(i, kindOf(i)));
      } catch (const std::exception& e) {
        return "message " + std::to_string(i) + ": " + e.what();
      }
    }
    return "";
  });

  Account(root, n, alias, kindOf);
  std::cout << n << " messages into " << kMailboxes << " mailboxes by " << kThreads
            << " threads and " << kProcesses << " processes in " << seconds << " s" << std::endl;
}

// One process per message, as a mail server runs its delivery agent: several deliver processes
// at once into one mailbox, deletes mixed with kept and moved messages. Found this way: the
// committed phase of a delete removed a message that another process had just delivered, and
// deliver reported that other message as its own.
TEST(Load, ProcessPerMessageDeliveriesAreEachWhereTheirRuleSays) {
  constexpr int kWorkers = 4;
  const int n = EnvCount("DROSSGATE_RACE_MESSAGES", 400);
  // Two workers deliver only deletes, two kept and moved messages in turn.
  auto kindOf = [](int i) {
    const int w = i % kWorkers;
    return w < 2 ? kDrop : (i / kWorkers) % 2 ? 3 : w - 2;
  };
  TempDir dir;
  SinkRoot root(dir.path() / "root");
  root.AddMailbox("alice");
  root.AddMailbox("abuse", "abuse@elsewhere.example");
  root.Install(RulesByHeader(kKinds, "X-Kind"));
  root.RegisterInbox("alice");

  std::vector<std::optional<std::string>> reported(n);  // the "now" each delivery reported
  const double seconds = RunWorkers(kWorkers, [&](int w) -> std::string {
    for (int i = w; i < n; i += kWorkers) {
      const fs::path file = dir.path() / (std::to_string(i) + ".eml");
      WriteFile(file, Source(i, kindOf(i)));
      ProcessResult r = root.Run({"deliver", "--to", "alice", file.string()});
      if (r.exitCode != 0) return "message " + std::to_string(i) + ": " + r.err;
      const auto line = nlohmann::json::parse(r.out);
      if (line["now"].is_string()) reported[i] = line["now"].get<std::string>();
    }
    return "";
  });

  // What a delivery reported is that message, not another that took its place.
  int wrongReports = 0;
  for (int i = 0; i < n; ++i) {
    if (!reported[i]) continue;
    int id = -1;  // gone: counted below as a wrong report
    platform::SkipOnError([&] { id = LoadId(admin::Source(*reported[i])); });
    if (id != i && ++wrongReports <= 10)
      ADD_FAILURE() << "message " << i << " reported as " << *reported[i] << ", which holds " << id;
  }
  EXPECT_EQ(wrongReports, 0);
  const int wrong = Account(
      root, n, [](int) { return std::string("alice"); }, kindOf);
  std::cout << n << " messages, one deliver process each, " << kWorkers << " at once, in "
            << seconds << " s: " << wrong << " lost, doubled or misplaced, " << wrongReports
            << " wrongly reported" << std::endl;
}

}  // namespace
}  // namespace drossgate::testing
