// Cost of evaluating the four benchmark rules on one message held in memory (no store): the
// part of the sink's work that grows with the number and kind of rules.
#include <benchmark/benchmark.h>

#include <string>

#include "DrossgateModule.h"
#include "SinkSettings.h"
#include "fake_record.h"

namespace {

using namespace drossgate::sink;
using drossgate::testing::FakeRecord;
namespace names = drossgate::platform::store::names;

constexpr const char* kRules =
    "Inbox\\Spam\t[Null]\tDesk <desk@example.com>\t+9\t\r"
    "X-Spam-Flag: YES\tIMFSCL: {> 7}\tSubject: [SPAM]\tX-Absent: 1\t\r65535";

// A twenty-line header block like the benchmark corpus's.
std::string HeaderBlock(bool spam) {
  std::string h = "Received: from relay7.example.net by mail1\r\n";
  for (int k = 0; k < 14; ++k)
    h += "X-Filler-" + std::to_string(k) + ": value " + std::to_string(1000003 * k) + "\r\n";
  h += "From: Sender <sender@example.net>\r\nTo: bench@example.com\r\n";
  h += std::string("X-Spam-Flag: ") + (spam ? "YES" : "NO") + "\r\n";
  h += "Subject: report 42\r\nMessage-ID: <42@example.net>\r\n";
  return h;
}

void BM_EvaluateRules(benchmark::State& state, bool spam) {
  FakeRecord record;
  record.fields.Set(names::kTransportHeadersName, HeaderBlock(spam));
  record.fields.Set(names::kSubjectName, std::string("report 42"));
  SinkSettings settings = ParseConstructorString(kRules);
  const int expected = spam ? 0 : -1;
  if (EvaluateRules(record, settings) != expected) {
    state.SkipWithError("unexpected rule");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(EvaluateRules(record, settings));
}

}  // namespace

// A spam message stops at the first rule; a clean one is tested against all four.
BENCHMARK_CAPTURE(BM_EvaluateRules, FirstRuleMatches, true);
BENCHMARK_CAPTURE(BM_EvaluateRules, NoRuleMatches, false);
