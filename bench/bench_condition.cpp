// Cost of one condition test for each kind of pattern the rules use. The sink runs a few of
// these inside the store's synchronous save event, so each should stay well under 200 ns.
#include <benchmark/benchmark.h>

#include <string>

#include "basParser.h"

namespace {

void BM_ConditionTest(benchmark::State& state, std::string value, std::string pattern,
                      bool expected) {
  if (drossgate::common::ConditionTest(value, pattern) != expected) {
    state.SkipWithError("unexpected result");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(value.data());
    benchmark::DoNotOptimize(pattern.data());
    benchmark::DoNotOptimize(drossgate::common::ConditionTest(value, pattern));
  }
}

}  // namespace

BENCHMARK_CAPTURE(BM_ConditionTest, Prefix, "YES, score=7", "YES", true);
BENCHMARK_CAPTURE(BM_ConditionTest, Wildcard, "Limited offer: buy cheap SPAM today only!",
                  "{*}SPAM{*}", true);
BENCHMARK_CAPTURE(BM_ConditionTest, WildcardMiss, "Minutes of the quarterly planning meeting",
                  "{*}SPAM{*}", false);
BENCHMARK_CAPTURE(BM_ConditionTest, Numeric, "5", "{> 3}", true);
BENCHMARK_CAPTURE(BM_ConditionTest, Range, "6.9", "{> 2 < 7}", true);
BENCHMARK_CAPTURE(BM_ConditionTest, PrefixSuffix, "Score 7.5 points", "Score {> 5} points", true);
BENCHMARK_CAPTURE(BM_ConditionTest, LongPatterns,
                  "Spam score 12.5 of 20 points, rated by the upstream filter",
                  "Spam score {> 10 < 20} of 20 points, rated by the upstream filter", true);
