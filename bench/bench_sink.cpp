// The sink's cost inside delivery, in one run: the same 10,000 messages (a third spam by
// X-Spam-Flag, a twelfth by subject, a twelfth by SCL) each delivered into a mailbox without any
// registration and into one whose inbox carries the sink with four rules (move, delete, forward,
// set SCL), alternately, so that both see the same store size and the same machine. The platform
// is made with drossgate-platform, as an administrator would.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <map>
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

using Clock = std::chrono::steady_clock;

// What each kind of message costs with and without the sink; the corpus's kinds 0-3 are moved,
// 4 forwarded, 5 deleted, 6-11 match no rule.
struct Tally {
  double bare = 0;  // microseconds
  double sink = 0;
  int count = 0;
  double Overhead() const { return bare > 0 ? (sink / bare - 1) * 100 : 0; }
};

const char* KindName(size_t i) {
  const size_t k = i % 12;
  return k < 4 ? "moved" : k == 4 ? "forwarded" : k == 5 ? "deleted" : "clean";
}

double Deliver(const char* mailbox, const Message& m) {
  const auto start = Clock::now();
  benchmark::DoNotOptimize(platform::store::admin::Deliver(mailbox, m.source, m.scl));
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

void BM_SinkOverhead(benchmark::State& state) {
  Platform& p = Shared();
  std::map<std::string, Tally> tallies;
  size_t i = 0;
  for (auto _ : state) {
    const Message& m = p.corpus[i % p.corpus.size()];
    // Which goes first alternates too: the second delivery of a text finds it in the caches.
    const bool bareFirst = (i / 12) % 2 == 0;
    double bare = 0, sink = 0;
    if (bareFirst) bare = Deliver("plain", m);
    sink = Deliver("filtered", m);
    if (!bareFirst) bare = Deliver("plain", m);
    for (const char* name : {"all", KindName(i)}) {
      Tally& t = tallies[name];
      t.bare += bare;
      t.sink += sink;
      ++t.count;
    }
    ++i;
  }
  const Tally& all = tallies["all"];
  state.counters["bare_us"] = all.bare / all.count;
  state.counters["sink_us"] = all.sink / all.count;
  for (const auto& [name, t] : tallies) state.counters[name + "_overhead_pct"] = t.Overhead();
}

BENCHMARK(BM_SinkOverhead)->Iterations(kCorpus)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
