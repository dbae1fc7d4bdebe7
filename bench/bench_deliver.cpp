// Deliveries per second into one mailbox with no sink registered: the baseline that a sink's
// overhead is measured against. BM_Deliver runs the call drossgate-platform deliver makes for
// each file; BM_DeliverTool runs the tool itself over files on disk. Each runs with the delivery
// log on (log_days:30, the default) and off (log_days:0), so that the log's cost shows.
// BM_LogOverhead measures that cost closely: the same messages delivered alternately into a
// platform with the log on and one with it off, so that both meet the same moments of the disk.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "complus/catalog.h"
#include "store/store.h"
#include "system/system.h"
#include "testsupport.h"

#include <nlohmann/json.hpp>

namespace {

using namespace drossgate;
namespace store = platform::store;

// DROSSGATE_BENCH_MESSAGES shortens the run (for profiling under valgrind).
int MessageCount() {
  const char* n = std::getenv("DROSSGATE_BENCH_MESSAGES");
  return n && std::atoi(n) > 0 ? std::atoi(n) : 10000;
}
const int kMessages = MessageCount();

// About 330 bytes; with filler, about 2 KB with 20 header lines, like the other benchmarks'.
std::string TestMessage(int i, bool filler = false) {
  std::string extra;
  for (int k = 0; filler && k < 15; ++k)
    extra += "X-Filler-" + std::to_string(k) + ": value " + std::to_string(i * 31 + k) + "\r\n";
  return "Received: from relay.example.org by mail1.example.com; Sun, 5 Dec 2004 14:07:00 "
         "+0000\r\n" +
         extra +
         "From: Sender <sender@example.org>\r\n"
         "To: alice@example.com\r\n"
         "Subject: message " +
         std::to_string(i % 100) +
         "\r\n"
         "Message-ID: <" +
         std::to_string(i) +
         "@example.org>\r\n"
         "\r\n"
         "A small message body, a few lines long.\r\n"
         "Nothing in it matters to the store.\r\n" +
         (filler ? std::string(1500, 'x') + "\r\n" : std::string());
}

// A fresh platform root with one mailbox, selected for this process; the delivery log keeps
// logDays days (0: off).
struct Root {
  testing::TempDir dir;
  explicit Root(int64_t logDays) {
    platform::WriteMachineInfo(dir.path(),
                               {"MAIL1", "example.com", "administrator", "EXAMPLE", {}, {}});
    auto machine = nlohmann::json::parse(testing::ReadFile(dir.path() / "machine.json"));
    machine["log"]["retention_days"] = logDays;
    testing::WriteFile(dir.path() / "machine.json", machine.dump());
    testing::WriteFile(dir.path() / "registry.json", "{}\n");
    platform::complus::CreateCatalogFile(dir.path().string());
    platform::SetPlatformRoot(dir.path());
    store::admin::CreateStore(dir.path(), "example.com", "First Storage Group");
    store::admin::AddMailbox("alice", {"alice@example.com"});
  }
  ~Root() { platform::SetPlatformRoot({}); }
};

void BM_Deliver(benchmark::State& state) {
  std::vector<std::string> messages;
  for (int i = 0; i < kMessages; ++i) messages.push_back(TestMessage(i));
  std::optional<Root> root;
  for (auto _ : state) {
    state.PauseTiming();
    root.reset();
    root.emplace(state.range(0));
    state.ResumeTiming();
    for (const std::string& m : messages)
      benchmark::DoNotOptimize(store::admin::Deliver("alice", m));
  }
  root.reset();
  state.SetItemsProcessed(state.iterations() * kMessages);
}
// Once with the delivery log on, once with it off.
void LogOnAndOff(benchmark::internal::Benchmark* b) {
  b->ArgName("log_days")->Arg(30)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(1);
  b->UseRealTime();
}
BENCHMARK(BM_Deliver)->Apply(LogOnAndOff);

// Arg 0: small messages; 1: about 2 KB. Each message goes to both platforms, which one first
// alternating, since the second delivery of a text finds it in the caches.
void BM_LogOverhead(benchmark::State& state) {
  Root on(30), off(0);
  using Clock = std::chrono::steady_clock;
  double onUs = 0, offUs = 0;
  int64_t i = 0;
  for (auto _ : state) {
    const std::string m = TestMessage(static_cast<int>(i), state.range(0) == 1);
    for (int turn = 0; turn < 2; ++turn) {
      const bool logged = (turn == 0) == (i % 2 == 0);
      platform::SetPlatformRoot((logged ? on : off).dir.path());
      const auto start = Clock::now();
      benchmark::DoNotOptimize(store::admin::Deliver("alice", m));
      (logged ? onUs : offUs) +=
          std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    }
    ++i;
  }
  state.counters["on_us"] = onUs / static_cast<double>(i);
  state.counters["off_us"] = offUs / static_cast<double>(i);
  state.counters["overhead_pct"] = (onUs / offUs - 1) * 100;
}
BENCHMARK(BM_LogOverhead)
    ->ArgName("filler")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(kMessages)
    ->Unit(benchmark::kMicrosecond);

void BM_DeliverTool(benchmark::State& state) {
  std::optional<Root> root;
  for (auto _ : state) {
    state.PauseTiming();
    root.reset();
    root.emplace(state.range(0));
    std::vector<std::string> args = {testing::PlatformTool().string(),
                                     "--root",
                                     root->dir.path().string(),
                                     "deliver",
                                     "--to",
                                     "alice@example.com"};
    for (int i = 0; i < kMessages; ++i) {
      auto file = root->dir.path() / ("m" + std::to_string(i) + ".eml");
      testing::WriteFile(file, TestMessage(i));
      args.push_back(file.string());
    }
    state.ResumeTiming();
    auto r = testing::RunProcess(args);
    if (r.exitCode != 0) state.SkipWithError(r.err.c_str());
  }
  root.reset();
  state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_DeliverTool)->Apply(LogOnAndOff);

}  // namespace
