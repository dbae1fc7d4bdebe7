// Deliveries per second into one mailbox with no sink registered: the baseline that a sink's
// overhead is measured against. BM_Deliver runs the call drossgate-platform deliver makes for
// each file; BM_DeliverTool runs the tool itself over files on disk. Each runs with the delivery
// log on (log_days:30, the default) and off (log_days:0), so that the log's cost shows.
#include <benchmark/benchmark.h>

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

constexpr int kMessages = 10000;

std::string SmallMessage(int i) {
  return "Received: from relay.example.org by mail1.example.com; Sun, 5 Dec 2004 14:07:00 +0000\r\n"
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
         "Nothing in it matters to the store.\r\n";
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
  for (int i = 0; i < kMessages; ++i) messages.push_back(SmallMessage(i));
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
      testing::WriteFile(file, SmallMessage(i));
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
