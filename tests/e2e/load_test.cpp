// Load: four delivering threads in this process and two delivering processes at once, into 50
// mailboxes filtered by the sink through a store-wide registration and, for some mailboxes,
// their own as well. Every message is accounted for exactly once, where its rule puts it.
// DROSSGATE_LOAD_MESSAGES sets the number of messages.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include <nlohmann/json.hpp>

#include "sink_root.h"

namespace drossgate::testing {
namespace {

namespace fs = std::filesystem;
namespace admin = platform::store::admin;

constexpr int kMailboxes = 50;
constexpr int kThreads = 4;
constexpr int kProcesses = 2;
const char* const kSclField = "http://schemas.microsoft.com/mapi/proptag/0x40760003";

// Each message's X-Kind header picks one of these; "place" is where it must end: a folder
// below its mailbox root, "pickup" for a forward, "" for a delete.
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
    {"report", "Abuse Desk <abuse@elsewhere.example>", "pickup"},
};
constexpr int kKindCount = static_cast<int>(std::size(kKinds));

std::string Rules() {
  std::string actions, conditions;
  for (const Kind& k : kKinds) {
    if (!k.action) continue;
    actions += std::string(k.action) + "\t";
    conditions += std::string("X-Kind: ") + k.name + "\t";
  }
  return actions + "\r" + conditions + "\r1";
}

std::string Alias(int i) {
  return "user" + std::to_string(i % kMailboxes);
}

std::string Source(int i) {
  return "From: sender" + std::to_string(i) + "@example.net\r\nSubject: load " + std::to_string(i) +
         "\r\nX-Load-Id: " + std::to_string(i) + "\r\nX-Kind: " + kKinds[i % kKindCount].name +
         "\r\n\r\nbody " + std::to_string(i) + "\r\n";
}

// The X-Load-Id of a message source, or -1.
int LoadId(const std::string& text) {
  const size_t at = text.find("\r\nX-Load-Id: ");
  return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + 13);
}

int MessageCount() {
  const char* env = std::getenv("DROSSGATE_LOAD_MESSAGES");
  const int n = env ? std::atoi(env) : 0;
  return n > 0 ? n : 2000;
}

// Message i goes through worker i % 6: the threads take 0-3, the processes 4 and 5.
int Worker(int i) {
  return i % (kThreads + kProcesses);
}

TEST(Load, EveryMessageAccountedForOnce) {
  const int n = MessageCount();
  TempDir dir;
  SinkRoot root(dir.path() / "root");
  for (int m = 0; m < kMailboxes; ++m) admin::AddMailbox(Alias(m), {Alias(m) + "@example.com"});
  root.Install(Rules());
  root.RegisterStoreWide();
  // Some mailboxes also have their own: the sink must still run once per message.
  for (int m = 0; m < kMailboxes; m += 5) root.RegisterInbox(Alias(m));

  std::vector<std::string> failures(kThreads + kProcesses);
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = t; i < n; i += kThreads + kProcesses) {
        try {
          admin::Deliver(Alias(i), Source(i));
        } catch (const std::exception& e) {
          failures[t] = "message " + std::to_string(i) + ": " + e.what();
          return;
        }
      }
    });
  }
  // A process delivers into one mailbox, so each process worker runs one per mailbox in turn.
  for (int p = kThreads; p < kThreads + kProcesses; ++p) {
    workers.emplace_back([&, p] {
      const fs::path files = dir.path() / ("worker" + std::to_string(p));
      fs::create_directory(files);
      for (int m = 0; m < kMailboxes; ++m) {
        std::vector<std::string> args{"deliver", "--to", Alias(m)};
        for (int i = m; i < n; i += kMailboxes) {
          if (Worker(i) != p) continue;
          args.push_back((files / (std::to_string(i) + ".eml")).string());
          WriteFile(args.back(), Source(i));
        }
        if (args.size() == 3) continue;
        ProcessResult r = root.Run(args);
        if (r.exitCode != 0) {
          failures[p] = "deliver --to " + Alias(m) + ": " + r.err;
          return;
        }
      }
    });
  }
  for (auto& w : workers) w.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (const auto& f : failures) EXPECT_EQ(f, "");

  // Where each message is now: "<alias>/<folder>" or "pickup"; hidden items are marked.
  std::vector<std::vector<std::string>> places(n);
  for (int m = 0; m < kMailboxes; ++m) {
    const std::string mailbox = kMbxUrl + Alias(m);
    for (const auto& item : admin::List(mailbox, true)) {
      if (item.folder || item.contentClass == "urn:content-class:storeeventreg") continue;
      const int id = LoadId(admin::Source(item.url));
      const std::string folder =
          item.url.substr(mailbox.size() + 1, item.url.rfind('/') - mailbox.size() - 1);
      const std::string place = Alias(m) + "/" + folder + (item.hidden ? " (hidden)" : "");
      if (id < 0 || id >= n) {
        ADD_FAILURE() << "stray item " << item.url;
        continue;
      }
      places[id].push_back(place);
      if (std::string(kKinds[id % kKindCount].name) == "grade") {
        auto record = platform::store::OpenRecord(item.url, nullptr, platform::store::Mode::kRead);
        EXPECT_EQ(platform::store::ValueText(record->GetFields().Get(kSclField)), "4") << item.url;
      }
    }
  }
  for (const auto& e : fs::directory_iterator(root.pickup())) {
    const std::string content = ReadFile(e.path());
    const int id = LoadId(content);
    if (id < 0 || id >= n || content.rfind("x-receiver: Abuse Desk", 0) != 0) {
      ADD_FAILURE() << "stray pickup file " << e.path();
      continue;
    }
    places[id].push_back("pickup");
  }

  std::map<std::string, int> byPlace;
  int wrong = 0;
  for (int i = 0; i < n; ++i) {
    const Kind& kind = kKinds[i % kKindCount];
    const std::string place = kind.place;
    const std::string expected =
        place.empty() || place == "pickup" ? place : Alias(i) + "/" + place;
    const std::vector<std::string> want =
        expected.empty() ? std::vector<std::string>{} : std::vector<std::string>{expected};
    ++byPlace[expected.empty() ? "deleted" : kind.place];
    if (places[i] != want && ++wrong <= 10) {
      std::string got;
      for (const auto& p : places[i]) got += " [" + p + "]";
      ADD_FAILURE() << "message " << i << " (" << kind.name << ") is at" << got << ", not at ["
                    << expected << "]";
    }
  }
  EXPECT_EQ(wrong, 0);

  std::cout << n << " messages into " << kMailboxes << " mailboxes by " << kThreads
            << " threads and " << kProcesses << " processes in " << seconds << " s ("
            << static_cast<int>(n / seconds) << " messages/s):";
  for (const auto& [place, count] : byPlace) std::cout << " " << place << " " << count;
  std::cout << std::endl;
}

}  // namespace
}  // namespace drossgate::testing
