// Deliveries per second with and without the sink, in one run: the same 10,000 messages
// (a third spam by X-Spam-Flag, a twelfth by subject, a twelfth by SCL) into a mailbox without any
// registration, and into one whose inbox carries the sink with four rules (move, delete,
// forward, set SCL). The platform is made with drossgate-platform, as an administrator would.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>

#include "store/store.h"
#include "system/system.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;
using namespace drossgate;

// DROSSGATE_BENCH_MESSAGES shortens the run (for profiling under valgrind).
int CorpusSize() {
  const char* n = std::getenv("DROSSGATE_BENCH_MESSAGES");
  return n && std::atoi(n) > 0 ? std::atoi(n) : 10000;
}
const int kCorpus = CorpusSize();

struct Message {
  std::string source;
  std::optional<int32_t> scl;
};

std::vector<Message> MakeCorpus() {
  std::mt19937 rng(42);
  std::vector<Message> corpus;
  const std::string body(1500, 'x');
  for (int i = 0; i < kCorpus; ++i) {
    std::string h;
    const int kind = i % 12;  // 0-3: flagged spam; 4: subject; 5: high SCL; the rest ham
    h += "Received: from relay" + std::to_string(rng() % 50) + ".example.net by mail1\r\n";
    for (int k = 0; k < 14; ++k)
      h += "X-Filler-" + std::to_string(k) + ": value " + std::to_string(rng()) + "\r\n";
    h += "From: Sender " + std::to_string(i) + " <sender" + std::to_string(i) + "@example.net>\r\n";
    h += "To: bench@example.com\r\n";
    h += std::string("X-Spam-Flag: ") + (kind < 4 ? "YES" : "NO") + "\r\n";
    h += std::string("Subject: ") + (kind == 4 ? "[SPAM] offer " : "report ") + std::to_string(i) +
         "\r\n";
    h += "Message-ID: <" + std::to_string(i) + "@example.net>\r\n\r\n";
    corpus.push_back({h + body + "\r\n", kind == 5 ? std::optional<int32_t>(8) : std::nullopt});
  }
  return corpus;
}

struct Platform {
  testing::TempDir dir;
  fs::path root = dir.path() / "root";
  std::vector<Message> corpus = MakeCorpus();

  void Tool(const std::vector<std::string>& args) {
    auto r = testing::RunPlatformTool(root, args);
    if (r.exitCode != 0) throw std::runtime_error("drossgate-platform failed: " + r.err);
  }

  Platform() {
    Tool({"init", "--domain", "example.com"});
    Tool({"mailbox", "add", "plain", "--address", "plain@example.com"});
    Tool({"mailbox", "add", "filtered", "--address", "filtered@example.com"});
    Tool({"mailbox", "add", "desk", "--address", "desk@example.com"});
    const fs::path cs = dir.path() / "cs.txt";
    testing::WriteFile(cs,
                       "Inbox\\Spam\t[Null]\tDesk <desk@example.com>\t+9\t\r"
                       "X-Spam-Flag: YES\tIMFSCL: {> 7}\tSubject: [SPAM]\tX-Absent: 1\t\r65535");
    Tool({"catalog", "install", "--app", "Drossgate", "--dll",
          (testing::BinaryDir() / "sink" / "Drossgate.so").string(), "--constructor-string-file",
          cs.string()});
    const std::string ev = "http://schemas.microsoft.com/exchange/events/";
    Tool({"set", "file://./backofficestorage/example.com/MBX/filtered/Inbox/Drossgate.reg",
          "--create", "item", "--prop", "DAV:contentclass=urn:content-class:storeeventreg",
          "--prop", ev + "EventMethod=onsyncsave", "--prop",
          ev + "SinkClass=Drossgate.DrossgateCls", "--prop", ev + "MatchScope=SHALLOW", "--prop",
          ev + "criteria= WHERE \"DAV:ishidden\" = FALSE", "--prop", ev + "priority=65535",
          "--prop", "DAV:ishidden:bool=true"});
    platform::SetPlatformRoot(root);
  }
};

Platform& Shared() {
  static Platform p;
  return p;
}

void DeliverAll(benchmark::State& state, const char* mailbox, bool cleanOnly = false) {
  Platform& p = Shared();
  size_t i = 0;
  for (auto _ : state) {
    // Clean messages are the corpus's kinds 6 to 11: no rule matches them.
    while (cleanOnly && (i % p.corpus.size()) % 12 < 6) ++i;
    const Message& m = p.corpus[i++ % p.corpus.size()];
    benchmark::DoNotOptimize(platform::store::admin::Deliver(mailbox, m.source, m.scl));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_DeliverWithoutSink(benchmark::State& state) {
  DeliverAll(state, "plain");
}
void BM_DeliverWithSink(benchmark::State& state) {
  DeliverAll(state, "filtered");
}
// What the sink costs when it only evaluates its rules: the part not spent on the actions.
void BM_DeliverCleanWithoutSink(benchmark::State& state) {
  DeliverAll(state, "plain", true);
}
void BM_DeliverCleanWithSink(benchmark::State& state) {
  DeliverAll(state, "filtered", true);
}

BENCHMARK(BM_DeliverWithoutSink)->Iterations(kCorpus)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DeliverWithSink)->Iterations(kCorpus)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DeliverCleanWithoutSink)->Iterations(kCorpus)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DeliverCleanWithSink)->Iterations(kCorpus)->Unit(benchmark::kMicrosecond);

}  // namespace
